// The corpus replay of the normal build: feeds every file of the folders (or
// the files) named on the command line to the target, in name order, once.
// A property that fails aborts, so the test fails with the input's name shown.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else if (std::filesystem::is_regular_file(p)) {
            inputs.push_back(p);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "empty corpus\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& p : inputs) {
        std::fprintf(stderr, "%s\n", p.string().c_str());
        std::string data = fuzzsupport::readFile(p.string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    std::printf("%zu inputs passed\n", inputs.size());
    return 0;
}
