// Small input videos with known pixels, written with our own AVI writer, and the frame
// source's view of any video.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image.h"

namespace kestrel::test {

// Writes a 24-bit bottom-up AVI of frames first .. first + count - 1 at 30000/1001 frames a
// second; its stream header has a value in nearly every field, so that a copy of it shows.
bool WriteTestVideo(const std::string& path, int width, int height, int count, int first = 0);

// Frame n of a test video as the frame source should deliver it, grey or colour.
Image ExpectedFrame(int width, int height, int n, bool colour);

// What the frame source delivers from `path`, as the run reads it: every frame (at most
// `most`), each checked to be consistent, and the message it gave. The input is closed after.
struct SourceRead {
    std::vector<Image> frames;
    Failure failure;
};
SourceRead ReadSource(const std::string& path, bool colour = true, size_t most = SIZE_MAX);

// In colour: every frame, and their number.
inline std::vector<Image> ReadAllFrames(const std::string& path) { return ReadSource(path).frames; }
inline size_t CountFrames(const std::string& path) { return ReadSource(path).frames.size(); }

}  // namespace kestrel::test
