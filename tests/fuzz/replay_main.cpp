// Replays every file of the folders (or the files) named on the command line through the target.
#include <stdio.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>
#include "fuzzcommon.h"

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& f : fs::directory_iterator(argv[i], ec))
                if (f.is_regular_file()) inputs.push_back(f.path().string());
        } else if (fs::is_regular_file(argv[i], ec)) {
            inputs.push_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::string& path : inputs) {
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("replayed %zu inputs\n", inputs.size());
    // An empty corpus would make the replay pass without testing anything.
    return inputs.empty() ? 1 : 0;
}
