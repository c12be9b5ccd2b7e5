// Pipeline configuration files and the filter modules they name.
#include "files.h"
#include "pipeline.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <dlfcn.h>

namespace platform::pipeline {
namespace {

using platformpipeline::Connection;

constexpr size_t kConfigurationCap = 1 << 20;

struct ConfigurationError {
    HRESULT hr;
    std::string message;
};
[[noreturn]] void Refuse(HRESULT hr, std::string message) {
    throw ConfigurationError{hr, std::move(message)};
}
constexpr HRESULT kBadConfiguration = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::string ReadConfiguration(const std::string& path) {
    std::string bytes;
    std::string problem;
    const HRESULT hr = ReadSmallFile(path, kConfigurationCap, bytes, problem);
    if (FAILED(hr)) {
        Refuse(hr, problem);
    }
    return bytes;
}

struct XmlDocument {
    xmlDoc* doc;
    ~XmlDocument() { xmlFreeDoc(doc); }
};

bool Named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && !node->ns &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The attribute's value; empty when it is missing.
std::string Attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
    if (!value) {
        return std::string();
    }
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

GUID ParseGuid(const std::string& text, const std::string& where) {
    std::u16string wide;
    for (const char c : text) {
        wide.push_back(static_cast<unsigned char>(c)); // a GUID is ASCII; anything else fails
    }
    GUID guid{};
    if (FAILED(CLSIDFromString(wide.c_str(), &guid))) {
        Refuse(kBadConfiguration, where + ": \"" + text + "\" is not a GUID");
    }
    return guid;
}

// The one child element of that name.
const xmlNode* OnlyChild(const xmlNode* parent, const char* name, const std::string& where) {
    const xmlNode* found = nullptr;
    for (const xmlNode* child = parent->children; child; child = child->next) {
        if (Named(child, name)) {
            if (found) {
                Refuse(kBadConfiguration, where + " has more than one " + name);
            }
            found = child;
        }
    }
    if (!found) {
        Refuse(kBadConfiguration, where + " has no " + name);
    }
    return found;
}

Connection ConnectionOf(const xmlNode* filter, bool input, const std::string& where) {
    const char* element = input ? "Input" : "Output";
    const GUID iid =
        ParseGuid(Attribute(OnlyChild(filter, element, where), "guid"), where + " " + element);
    if (IsEqualIID(iid, input ? IID_IXpsDocumentProvider : IID_IXpsDocumentConsumer)) {
        return Connection::Parts;
    }
    if (IsEqualIID(iid, input ? IID_IPrintReadStream : IID_IPrintWriteStream)) {
        return Connection::Bytes;
    }
    Refuse(kBadConfiguration, where + " " + element + ": the interface is neither " +
                                  (input ? "IXpsDocumentProvider nor IPrintReadStream"
                                         : "IXpsDocumentConsumer nor IPrintWriteStream"));
}

// The module a Filter names: beside the configuration file unless the name is absolute.
std::string ModulePath(const std::string& configuration, const std::string& dll) {
    if (!dll.empty() && dll[0] == '/') {
        return dll;
    }
    const size_t slash = configuration.rfind('/');
    return (slash == std::string::npos ? std::string("./") : configuration.substr(0, slash + 1)) +
           dll;
}

std::shared_ptr<void> LoadModule(const std::string& path, const std::string& where) {
    // Always a path with a folder: dlopen never searches the library path for it.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        Refuse(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
               where + ": cannot load " + path + (why ? std::string(": ") + why : std::string()));
    }
    return std::shared_ptr<void>(module, [](void* loaded) { dlclose(loaded); });
}

ATL::CComPtr<IClassFactory> FactoryOf(void* module, const CLSID& clsid, const std::string& path,
                                      const std::string& where) {
    void* symbol = dlsym(module, "DllGetClassObject");
    if (!symbol) {
        Refuse(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND),
               where + ": " + path + " does not export DllGetClassObject");
    }
    const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(symbol);
    ATL::CComPtr<IClassFactory> factory;
    const HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || !factory) {
        Refuse(FAILED(hr) ? hr : E_NOINTERFACE,
               where + ": " + path + " gives no class factory for its class");
    }
    return factory;
}

platformpipeline::Pipeline Load(const std::string& path) {
    const std::string bytes = ReadConfiguration(path);
    // No network, no entity expansion, and no DTD at all (checked below).
    XmlDocument document{xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                       nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)};
    if (!document.doc) {
        const xmlError* error = xmlGetLastError();
        std::string why = error && error->message ? error->message : "not well-formed XML";
        while (!why.empty() && why.back() == '\n') {
            why.pop_back();
        }
        Refuse(kBadConfiguration, path + ": " + why);
    }
    if (document.doc->intSubset || document.doc->extSubset) {
        Refuse(kBadConfiguration, path + ": a document type declaration is not allowed");
    }
    const xmlNode* root = xmlDocGetRootElement(document.doc);
    if (!root || !Named(root, "Filters")) {
        Refuse(kBadConfiguration, path + ": the root element is not Filters");
    }
    platformpipeline::Pipeline pipeline;
    for (const xmlNode* node = root->children; node; node = node->next) {
        if (!Named(node, "Filter")) {
            continue;
        }
        const std::string name = Attribute(node, "name");
        const std::string where = path + ": filter " + std::to_string(pipeline.filters.size() + 1) +
                                  (name.empty() ? std::string() : " (" + name + ")");
        const std::string dll = Attribute(node, "dll");
        if (dll.empty()) {
            Refuse(kBadConfiguration, where + " names no dll");
        }
        const CLSID clsid = ParseGuid(Attribute(node, "clsid"), where + " clsid");
        platformpipeline::Filter filter;
        filter.name = name.empty() ? dll : name;
        filter.input = ConnectionOf(node, true, where);
        filter.output = ConnectionOf(node, false, where);
        const std::string modulePath = ModulePath(path, dll);
        std::shared_ptr<void> module = LoadModule(modulePath, where);
        filter.factory = FactoryOf(module.get(), clsid, modulePath, where);
        pipeline.modules.push_back(std::move(module));
        pipeline.filters.push_back(std::move(filter));
    }
    if (pipeline.filters.empty()) {
        Refuse(kBadConfiguration, path + ": Filters holds no Filter");
    }
    return pipeline;
}

} // namespace
} // namespace platform::pipeline

namespace platformpipeline {

HRESULT LoadPipelineConfiguration(const std::string& path, Pipeline* pipeline,
                                  std::string* problem) {
    if (!pipeline) {
        return E_POINTER;
    }
    try {
        Pipeline loaded = platform::pipeline::Load(path);
        std::swap(*pipeline, loaded); // what *pipeline held goes factories first, modules last
        if (problem) {
            problem->clear();
        }
        return S_OK;
    } catch (const platform::pipeline::ConfigurationError& error) {
        if (problem) {
            *problem = error.message;
        }
        return error.hr;
    } catch (const std::bad_alloc&) {
        if (problem) {
            *problem = "out of memory";
        }
        return E_OUTOFMEMORY;
    }
}

} // namespace platformpipeline
