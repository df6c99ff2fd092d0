// What the fuzz targets share: a scratch file per process, and a windowing layer that shows
// nothing, so that a run's messages go nowhere and no question waits for an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "run/windowing.h"

namespace kestrel::fuzz {

// A file under a directory of this process's own; the same path each call with that name,
// so that a long run does not leave files behind. The directory goes at exit.
std::string ScratchFile(const char* name);

// Replaces the scratch file's contents with `data`.
void WriteScratch(const std::string& path, const uint8_t* data, size_t size);

// A violated property: libFuzzer reports the input that got here.
[[noreturn]] inline void Fail() { std::abort(); }

class SilentWindowing : public Windowing {
public:
    Pressed messageBox(const std::string&, const std::string&, Buttons buttons, Owner) override {
        ++messages;
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

    int messages = 0;
    int frames = 0;
};

}  // namespace kestrel::fuzz
