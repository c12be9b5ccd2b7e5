// The search path of printer descriptions and the printers found on it.
#include "printers.h"

#include "builtinfiles.h"
#include "filereader.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::spooler {
namespace {

constexpr size_t kMaxDescriptionBytes = size_t{1} << 20;
constexpr char kSuffix[] = ".printer";

std::vector<std::string> DescriptionFiles(const std::string& folder) {
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        return files; // a folder that does not exist describes no printers
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > sizeof kSuffix - 1 && name.front() != '.' &&
            name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) == 0) {
            files.push_back(folder + "/" + name);
        }
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A description read, with the stamps of its file and of its documents' files as they were
// opened: a file changed since, even while it was being read, no longer matches.
struct CachedListing {
    StampedFiles files;
    platformprinters::Listing listing;
};

std::mutex cacheLock;
std::map<std::string, CachedListing> cache; // by description path

bool StillAsRead(const CachedListing& cached) {
    for (const auto& [path, stamp] : cached.files) {
        FileStamp now;
        if (!StampOf(path, now) || !(now == stamp)) {
            return false;
        }
    }
    return true;
}

platformprinters::Listing ReadListing(const std::string& path) {
    {
        const std::lock_guard lock(cacheLock);
        const auto found = cache.find(path);
        if (found != cache.end()) {
            if (StillAsRead(found->second)) {
                return found->second.listing;
            }
            cache.erase(found);
        }
    }
    CachedListing read;
    platformprinters::Listing& listing = read.listing;
    listing.source = path;
    std::string text;
    FileStamp stamp;
    if (!ReadRegularFile(path, kMaxDescriptionBytes, text, listing.problem, &stamp)) {
        return listing;
    }
    try {
        read.files.emplace_back(path, stamp);
        listing.printer = ReadDescription(text, path, FolderOf(path), &read.files);
    } catch (const DescriptionError& error) {
        listing.problem = error.message;
    } catch (const std::bad_alloc&) {
        listing.problem = "out of memory";
    }
    // Only a description read whole is kept: one that failed is read again, so a document
    // that appears later is found.
    if (listing.printer) {
        try {
            const std::lock_guard lock(cacheLock);
            cache.insert_or_assign(path, read);
        } catch (const std::bad_alloc&) {
            // Not kept: read again next time.
        }
    }
    return listing;
}

platformprinters::Listing ReadBuiltinListing() {
    platformprinters::Listing listing;
    listing.source = "built-in";
    const EmbeddedFile& description = kBuiltinPrinterFiles[0];
    try {
        listing.printer = ReadDescription(
            std::string_view(reinterpret_cast<const char*>(description.bytes), description.size),
            "built-in", "");
    } catch (const DescriptionError& error) {
        listing.problem = error.message;
    }
    return listing;
}

// The built-in description is inside the library and never changes: it is read once.
platformprinters::Listing BuiltinListing() {
    static const platformprinters::Listing listing = ReadBuiltinListing();
    return listing;
}

void Anchor() {}

} // namespace

const std::string& MachineDriverDirectory() {
    static const std::string folder = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&Anchor), &info) && info.dli_fname &&
            info.dli_fname[0] == '/') {
            return FolderOf(info.dli_fname);
        }
        return std::string("/usr/lib");
    }();
    return folder;
}

} // namespace platform::spooler

namespace platformprinters {

std::vector<std::string> SearchFolders() {
    std::vector<std::string> folders;
    if (const char* list = std::getenv("FILTERUTILITIES_PRINTERS")) {
        std::string_view rest = list;
        while (!rest.empty()) {
            const size_t colon = std::min(rest.find(':'), rest.size());
            std::string_view folder = rest.substr(0, colon);
            while (folder.size() > 1 && folder.back() == '/') {
                folder.remove_suffix(1);
            }
            if (!folder.empty()) {
                folders.emplace_back(folder);
            }
            rest.remove_prefix(std::min(colon + 1, rest.size()));
        }
    }
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/') {
        folders.push_back(std::string(config) + "/filterutilities/printers");
    } else if (home && home[0] == '/') {
        folders.push_back(std::string(home) + "/.config/filterutilities/printers");
    }
    folders.push_back("/etc/filterutilities/printers");
    return folders;
}

std::vector<Listing> ListPrinters() {
    std::vector<Listing> listings;
    auto add = [&](Listing listing) {
        if (listing.printer) {
            for (const Listing& earlier : listings) {
                if (earlier.printer &&
                    platform::spooler::SameName(earlier.printer->name, listing.printer->name)) {
                    listing.problem = "the name is taken by " + earlier.source;
                    listing.printer = nullptr;
                    break;
                }
            }
        }
        listings.push_back(std::move(listing));
    };
    for (const std::string& folder : SearchFolders()) {
        for (const std::string& file : platform::spooler::DescriptionFiles(folder)) {
            add(platform::spooler::ReadListing(file));
        }
    }
    add(platform::spooler::BuiltinListing());
    return listings;
}

Printer FindPrinter(const std::u16string& name) {
    for (const Listing& listing : ListPrinters()) {
        if (listing.printer && platform::spooler::SameName(listing.printer->name, name)) {
            return listing.printer;
        }
    }
    return nullptr;
}

} // namespace platformprinters
