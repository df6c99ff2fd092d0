#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <filesystem>

namespace kestrel::fuzz {

namespace {

// This process's own directory, removed with what is in it at exit. In memory where possible:
// the settings store syncs every save to the disk.
struct ScratchDir {
    std::string path = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? "/dev/shm" : fs::temp_directory_path();
        std::string pattern = (base / "kestrel-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) Fail();
        return pattern;
    }();
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

std::string ScratchFile(const char* name) {
    static const ScratchDir dir;
    return dir.path + "/" + name;
}

void WriteScratch(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Fail();
    if (size && std::fwrite(data, 1, size, f) != size) Fail();
    if (std::fclose(f) != 0) Fail();
}

}  // namespace kestrel::fuzz
