// Small input videos with known pixels, written with our own AVI writer, and a reader of
// outputs through the frame source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/image.h"

namespace kestrel::testing {

// The blue, green and red bytes of pixel (x, y) of frame n of a test video.
uint8_t TestSample(int x, int y, int n, int channel);

// Writes a 24-bit bottom-up AVI of `frames` frames at 25 frames per second; false on failure.
bool WriteTestVideo(const std::string& path, int width, int height, int frames);

// The test video's frame n as the frame source should deliver it, grey or colour.
Image ExpectedFrame(int width, int height, int n, bool colour);

// Reads every frame of `path` through the frame source, as colour.
std::vector<Image> ReadAllFrames(const std::string& path);

// Counts the frames of `path` that the frame source delivers.
size_t CountFrames(const std::string& path);

// A fresh empty directory under the system's temporary directory, removed by the destructor.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kestrel::testing
