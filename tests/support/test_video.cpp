#include "support/test_video.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "io/avi_writer.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings.h"

namespace kestrel::testing {

uint8_t TestSample(int x, int y, int n, int channel) {
    return uint8_t(x * 7 + y * 13 + n * 29 + channel * 85);
}

bool WriteTestVideo(const std::string& path, int width, int height, int frames) {
    AviStreamInfo info;
    info.fccType = kFccVids;
    info.dwScale = 1;
    info.dwRate = 25;
    info.rcFrameRight = width;
    info.rcFrameBottom = height;
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = 24;
    uint32_t stride = Stride24(uint32_t(width));
    h.biSizeImage = stride * uint32_t(height);
    std::vector<uint8_t> format;
    AppendBitmapInfoHeader(format, h);

    AviWriter writer;
    if (writer.create(path, info, format, FourCC("00db")) != AviWriteStatus::Ok) return false;
    std::vector<uint8_t> data(h.biSizeImage);
    for (int n = 0; n < frames; ++n) {
        for (int y = 0; y < height; ++y) {
            uint8_t* row = data.data() + size_t(height - 1 - y) * stride;  // bottom row first
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c) row[3 * x + c] = TestSample(x, y, n, c);
        }
        if (writer.writeChunk(data.data(), data.size()) != AviWriteStatus::Ok) return false;
    }
    return writer.finish() == AviWriteStatus::Ok;
}

Image ExpectedFrame(int width, int height, int n, bool colour) {
    Image img;
    img.width = width;
    img.height = height;
    img.channels = colour ? 3 : 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t b = TestSample(x, y, n, 0), g = TestSample(x, y, n, 1),
                    r = TestSample(x, y, n, 2);
            if (colour) {
                img.pixels.insert(img.pixels.end(), {b, g, r});
            } else {
                img.pixels.push_back(GreyLevel(b, g, r));
            }
        }
    return img;
}

std::vector<Image> ReadAllFrames(const std::string& path) {
    Settings s;
    s.InputFile = path;
    s.Colour = 1;
    std::vector<Image> frames;
    std::string message;
    while (ReadNextFrame(s, message)) frames.push_back(ImageBuffer());
    CloseVideo(message);
    return frames;
}

size_t CountFrames(const std::string& path) {
    Settings s;
    s.InputFile = path;
    size_t n = 0;
    std::string message;
    while (ReadNextFrame(s, message)) ++n;
    CloseVideo(message);
    return n;
}

TempDir::TempDir() {
    static std::mt19937_64 rng{std::random_device{}()};
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto p = base / ("kestrel-test-" + std::to_string(rng()));
        if (std::filesystem::create_directory(p)) {
            path = p.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace kestrel::testing
