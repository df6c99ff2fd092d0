// A fuzz target without libFuzzer, for the ordinary test run: each file named, and each file in
// each folder named, goes through the target, and so do cuts of it and damaged copies: a byte set
// at random, or a 32-bit field set to a boundary value of sizes and counts, now and then two. A
// small input gets more of them than a large one, so that a replay takes seconds. A broken
// property aborts the process; the last input named before that is the one that did it, and a
// replay of it alone makes the same copies again.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using Bytes = std::vector<uint8_t>;

static void Run(const Bytes& input) { LLVMFuzzerTestOneInput(input.data(), input.size()); }

static void RunWithCopies(const Bytes& good) {
    Run(good);
    const uint32_t size = uint32_t(good.size());
    const uint32_t boundary[] = {0,          1,          2,        0x7FFFFFFF, 0x80000000,
                                 0xFFFFFFFF, 0xFFFFFFF0, size - 8, size - 1,   size,
                                 size + 1,   size * 2,   0x10000,  0x40000000};
    const uint32_t copies = size < 4 ? 0 : std::clamp<uint32_t>((1 << 22) / size, 32, 512);
    std::mt19937 rng(size);
    for (uint32_t k = 0; k < copies; ++k) {
        Run(Bytes(good.begin(), good.begin() + rng() % size));
        Bytes b = good;
        for (int n = rng() % 4 ? 1 : 2; n > 0; --n) {
            const uint32_t at = rng() % (size - 3), value = boundary[rng() % std::size(boundary)];
            if (rng() % 2)
                b[at] = uint8_t(rng());
            else
                for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(value >> (8 * i));
        }
        Run(b);
    }
}

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
        std::fprintf(stderr, "replay: %s\n", path.c_str());
        RunWithCopies(Bytes(std::istreambuf_iterator<char>(in), {}));
    }
    std::fprintf(stderr, "replay: %zu inputs and their copies, no failure\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
