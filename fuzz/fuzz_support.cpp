#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace kestrel::fuzz {

namespace {

struct ScratchDir {
    std::string path;
    ScratchDir() {
        // In memory where possible: the settings store syncs every save to the disk.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "kestrel-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) Fail();
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

const std::string& Dir() {
    static ScratchDir dir;
    return dir.path;
}

}  // namespace

std::string ScratchFile(const char* name) { return Dir() + "/" + name; }

void WriteScratch(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Fail();
    if (size && std::fwrite(data, 1, size, f) != size) Fail();
    if (std::fclose(f) != 0) Fail();
}

}  // namespace kestrel::fuzz
