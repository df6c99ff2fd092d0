// A fuzz target without libFuzzer, for the ordinary test run: each file named, and each file in
// each folder named, goes through the target once. A broken property aborts the process; the
// last input named before that is the one that did it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i]))
            inputs.emplace_back(argv[i]);
        else
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::fprintf(stderr, "replay: cannot read %s\n", path.c_str()), 1;
        const std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
        std::fprintf(stderr, "replay: %s\n", path.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
