// Replays a fuzz corpus: every file under the folders or files named on the command line is
// passed once to LLVMFuzzerTestOneInput. A crash or sanitizer report fails the run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::filesystem::path& file, int& count) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
}

} // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    Replay(entry.path(), count);
                }
            }
        } else if (std::filesystem::is_regular_file(path)) {
            Replay(path, count);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
    }
    // An empty corpus would make the replay pass without testing anything.
    if (count == 0) {
        std::fprintf(stderr, "the corpus is empty\n");
        return 1;
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
