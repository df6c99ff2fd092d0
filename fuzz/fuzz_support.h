// What the fuzz targets share: a scratch file per process, and a windowing layer that shows
// nothing, so that a run's messages go nowhere and no question waits for an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "run/windowing.h"

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

// Replaces the scratch file's contents with `data`.
inline void WriteScratch(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) Fail();
}

class SilentWindowing : public Windowing {
public:
    Pressed messageBox(const std::string&, const std::string&, Buttons buttons, Owner) override {
        return buttons == Buttons::YesNo ? Pressed::Yes : Pressed::Ok;
    }
    Pressed setupDialog() override { return Pressed::Ok; }
    bool escapeDown() override { return false; }
    bool drainUntilCommand() override { return false; }
    void clearPreview() override {}
    void showFrame(const Image& frame, int32_t, uint32_t) override {
        if (!frame.consistent()) Fail();
        ++frames;
    }
    void beginWaitCursor() override {}
    void endWaitCursor() override {}

    int frames = 0;
};

}  // namespace kestrel::fuzz
