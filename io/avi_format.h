// On-disk and in-memory records of the AVI and DIB formats. Structs that mirror a fixed layout
// are checked at compile time; bytes are always read and written field by field, little-endian,
// never by casting a pointer into a buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "base/byte_cursor.h"

namespace kestrel {

constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}
constexpr uint32_t FourCC(const char (&s)[5]) { return FourCC(s[0], s[1], s[2], s[3]); }

constexpr uint32_t kFccRiff = FourCC("RIFF");
constexpr uint32_t kFccList = FourCC("LIST");
constexpr uint32_t kFccAvi = FourCC("AVI ");
constexpr uint32_t kFccAvix = FourCC("AVIX");
constexpr uint32_t kFccHdrl = FourCC("hdrl");
constexpr uint32_t kFccAvih = FourCC("avih");
constexpr uint32_t kFccStrl = FourCC("strl");
constexpr uint32_t kFccStrh = FourCC("strh");
constexpr uint32_t kFccStrf = FourCC("strf");
constexpr uint32_t kFccStrn = FourCC("strn");
constexpr uint32_t kFccMovi = FourCC("movi");
constexpr uint32_t kFccRec = FourCC("rec ");
constexpr uint32_t kFccIdx1 = FourCC("idx1");
constexpr uint32_t kFccJunk = FourCC("JUNK");
constexpr uint32_t kFccVids = FourCC("vids");
constexpr uint32_t kFccIndx = FourCC("indx");
constexpr uint32_t kFccOdml = FourCC("odml");
constexpr uint32_t kFccDmlh = FourCC("dmlh");

constexpr uint32_t kIdx1EntrySize = 16;
// OpenDML: an ix## standard index is a 24-byte header and 8 bytes a chunk; the indx super
// index a 24-byte header and 16 bytes a segment; dmlh is 248 bytes, mostly reserved.
constexpr uint32_t kStdIndexHeaderSize = 24;
constexpr uint32_t kStdIndexEntrySize = 8;
constexpr uint32_t kSuperIndexHeaderSize = 24;
constexpr uint32_t kSuperIndexEntrySize = 16;
constexpr uint32_t kDmlhSize = 248;
constexpr uint8_t kAviIndexOfIndexes = 0;
constexpr uint8_t kAviIndexOfChunks = 1;
constexpr uint32_t kNotKeyframe = 0x80000000u;  // standard index size bit

constexpr uint32_t kAviifKeyframe = 0x10;     // idx1 entry flag
constexpr uint32_t kAvifHasIndex = 0x10;      // avih flags
constexpr uint32_t kAvifTrustCkType = 0x800;

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

// The platform's AVISTREAMINFOA: what the frame source keeps of the input stream and the sink
// copies for the output. The 56-byte strh on disk orders these fields differently and stores
// rcFrame as four 16-bit values; dwCaps, dwEditCount and dwFormatChangeCount are not on disk.
struct AviStreamInfo {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t dwFlags = 0;
    uint32_t dwCaps = 0;
    uint16_t wPriority = 0;
    uint16_t wLanguage = 0;
    uint32_t dwScale = 0;
    uint32_t dwRate = 0;
    uint32_t dwStart = 0;
    uint32_t dwLength = 0;
    uint32_t dwInitialFrames = 0;
    uint32_t dwSuggestedBufferSize = 0;
    uint32_t dwQuality = 0;
    uint32_t dwSampleSize = 0;
    int32_t rcFrameLeft = 0;
    int32_t rcFrameTop = 0;
    int32_t rcFrameRight = 0;
    int32_t rcFrameBottom = 0;
    uint32_t dwEditCount = 0;
    uint32_t dwFormatChangeCount = 0;
    char szName[64] = {};
};
static_assert(sizeof(AviStreamInfo) == 140, "AVISTREAMINFOA is 140 bytes");

constexpr uint32_t kStrhSize = 56;  // AVISTREAMHEADER; some writers store 48 (no rcFrame)

// Fills `info` from the bytes of a strh chunk (fields past the chunk's end stay 0). False when
// the chunk is too short to hold even the fields up to dwSampleSize.
bool ParseStreamHeader(const uint8_t* data, size_t size, AviStreamInfo& info);
// Appends the 56-byte strh body for `info`.
void AppendStreamHeader(std::vector<uint8_t>& out, const AviStreamInfo& info);

// The chunks of stream 0 holding uncompressed pictures: what every file written here stores.
constexpr uint32_t kFcc00db = FourCC("00db");

// The platform's BITMAPINFOHEADER.
struct BitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = kBiRgb;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "BITMAPINFOHEADER is 40 bytes");
constexpr uint32_t kBitmapInfoHeaderSize = 40;

// Reads the 40 bytes at the cursor; the cursor fails when fewer are there.
BitmapInfoHeader ReadBitmapInfoHeader(ByteCursor& in);
void AppendBitmapInfoHeader(std::vector<uint8_t>& out, const BitmapInfoHeader& h);

// The platform's MainAVIHeader (avih).
struct AviMainHeader {
    uint32_t dwMicroSecPerFrame = 0;
    uint32_t dwMaxBytesPerSec = 0;
    uint32_t dwPaddingGranularity = 0;
    uint32_t dwFlags = 0;
    uint32_t dwTotalFrames = 0;
    uint32_t dwInitialFrames = 0;
    uint32_t dwStreams = 0;
    uint32_t dwSuggestedBufferSize = 0;
    uint32_t dwWidth = 0;
    uint32_t dwHeight = 0;
    uint32_t dwReserved[4] = {};
};
static_assert(sizeof(AviMainHeader) == 56, "MainAVIHeader is 56 bytes");

bool ParseMainHeader(const uint8_t* data, size_t size, AviMainHeader& h);
void AppendMainHeader(std::vector<uint8_t>& out, const AviMainHeader& h);

}  // namespace kestrel
