// What the fuzz targets share: a scratch file per process, and a file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace kestrel::fuzz {

// A violated property: libFuzzer, or the replay driver, reports the input that got here.
[[noreturn]] inline void Fail() { std::abort(); }

// A file under a directory of this process's own, removed at exit; the same path each call with
// that name, so that a long run leaves nothing behind. In memory where possible: the settings
// store syncs every save to the disk.
inline std::string ScratchFile(const char* name) {
    namespace fs = std::filesystem;
    static const struct Dir {
        std::error_code ec;
        std::string path =
            (fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path()) /
            "kestrel-fuzz-XXXXXX";
        Dir() {
            if (!mkdtemp(path.data())) Fail();
        }
        ~Dir() { fs::remove_all(path, ec); }
    } dir;
    return dir.path + "/" + name;
}

// A file that lives in memory alone, named by a path that opens it ("/proc/self/fd/N"): each
// input replaces its contents without a file on any disk.
class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("kestrel-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) Fail();
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void assign(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0 || (size && pwrite(fd_, data, size, 0) != ssize_t(size))) Fail();
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

// Replaces the scratch file's contents with `data`.
inline void WriteScratch(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) Fail();
}

}  // namespace kestrel::fuzz
