// The main() of a fuzz target in the ordinary build: runs LLVMFuzzerTestOneInput once over every
// file named on the command line and every file of every folder named there (not descending),
// in name order, so that each committed input stays a test. A broken property aborts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

bool Run(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end is caught as in libFuzzer.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (!std::filesystem::is_directory(path, error)) {
            ok = Run(path) && ok;
            ++inputs;
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s: %s\n", path.c_str(), error.message().c_str());
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            ok = Run(file) && ok;
            ++inputs;
        }
    }
    std::printf("%zu inputs replayed\n", inputs);
    return ok && inputs > 0 ? 0 : 1;
}
