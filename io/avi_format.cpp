#include "io/avi_format.h"

#include <algorithm>

namespace kestrel {

bool ParseStreamHeader(const uint8_t* data, size_t size, AviStreamInfo& info) {
    ByteCursor in(data, size);
    AviStreamInfo s;
    s.fccType = in.u32();
    s.fccHandler = in.u32();
    s.dwFlags = in.u32();
    s.wPriority = in.u16();
    s.wLanguage = in.u16();
    s.dwInitialFrames = in.u32();
    s.dwScale = in.u32();
    s.dwRate = in.u32();
    s.dwStart = in.u32();
    s.dwLength = in.u32();
    s.dwSuggestedBufferSize = in.u32();
    s.dwQuality = in.u32();
    s.dwSampleSize = in.u32();
    if (in.failed()) return false;
    if (in.remaining() >= 8) {
        s.rcFrameLeft = in.i16();
        s.rcFrameTop = in.i16();
        s.rcFrameRight = in.i16();
        s.rcFrameBottom = in.i16();
    }
    std::copy(std::begin(info.szName), std::end(info.szName), s.szName);  // strn fills it
    info = s;
    return true;
}

void AppendStreamHeader(std::vector<uint8_t>& out, const AviStreamInfo& s) {
    PutU32(out, s.fccType);
    PutU32(out, s.fccHandler);
    PutU32(out, s.dwFlags);
    PutU16(out, s.wPriority);
    PutU16(out, s.wLanguage);
    PutU32(out, s.dwInitialFrames);
    PutU32(out, s.dwScale);
    PutU32(out, s.dwRate);
    PutU32(out, s.dwStart);
    PutU32(out, s.dwLength);
    PutU32(out, s.dwSuggestedBufferSize);
    PutU32(out, s.dwQuality);
    PutU32(out, s.dwSampleSize);
    // On disk the rectangle is four 16-bit values; clamp rather than wrap.
    auto c16 = [](int32_t v) { return int16_t(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX)); };
    PutI16(out, c16(s.rcFrameLeft));
    PutI16(out, c16(s.rcFrameTop));
    PutI16(out, c16(s.rcFrameRight));
    PutI16(out, c16(s.rcFrameBottom));
}

BitmapInfoHeader ReadBitmapInfoHeader(ByteCursor& in) {
    BitmapInfoHeader h;
    h.biSize = in.u32();
    h.biWidth = in.i32();
    h.biHeight = in.i32();
    h.biPlanes = in.u16();
    h.biBitCount = in.u16();
    h.biCompression = in.u32();
    h.biSizeImage = in.u32();
    h.biXPelsPerMeter = in.i32();
    h.biYPelsPerMeter = in.i32();
    h.biClrUsed = in.u32();
    h.biClrImportant = in.u32();
    return h;
}

void AppendBitmapInfoHeader(std::vector<uint8_t>& out, const BitmapInfoHeader& h) {
    PutU32(out, h.biSize);
    PutI32(out, h.biWidth);
    PutI32(out, h.biHeight);
    PutU16(out, h.biPlanes);
    PutU16(out, h.biBitCount);
    PutU32(out, h.biCompression);
    PutU32(out, h.biSizeImage);
    PutI32(out, h.biXPelsPerMeter);
    PutI32(out, h.biYPelsPerMeter);
    PutU32(out, h.biClrUsed);
    PutU32(out, h.biClrImportant);
}

bool ParseMainHeader(const uint8_t* data, size_t size, AviMainHeader& h) {
    ByteCursor in(data, size);
    AviMainHeader m;
    m.dwMicroSecPerFrame = in.u32();
    m.dwMaxBytesPerSec = in.u32();
    m.dwPaddingGranularity = in.u32();
    m.dwFlags = in.u32();
    m.dwTotalFrames = in.u32();
    m.dwInitialFrames = in.u32();
    m.dwStreams = in.u32();
    m.dwSuggestedBufferSize = in.u32();
    m.dwWidth = in.u32();
    m.dwHeight = in.u32();
    for (uint32_t& r : m.dwReserved) r = in.u32();
    if (in.failed()) return false;
    h = m;
    return true;
}

void AppendMainHeader(std::vector<uint8_t>& out, const AviMainHeader& m) {
    PutU32(out, m.dwMicroSecPerFrame);
    PutU32(out, m.dwMaxBytesPerSec);
    PutU32(out, m.dwPaddingGranularity);
    PutU32(out, m.dwFlags);
    PutU32(out, m.dwTotalFrames);
    PutU32(out, m.dwInitialFrames);
    PutU32(out, m.dwStreams);
    PutU32(out, m.dwSuggestedBufferSize);
    PutU32(out, m.dwWidth);
    PutU32(out, m.dwHeight);
    for (uint32_t r : m.dwReserved) PutU32(out, r);
}

}  // namespace kestrel
