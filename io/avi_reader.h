// Reads the first video stream of a RIFF/AVI file: its stream header, its format and where each
// of its chunks lies. No size in the file is trusted: every chunk is checked against the bytes
// that are really there, and a file cut short is read up to its last whole chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "base/file.h"

namespace kestrel {

// Chunk kinds of a stream, after its two-digit number: "00db", "00dc", "00pc".
constexpr uint16_t kTwoccDb = uint16_t('d' | 'b' << 8);  // uncompressed picture
constexpr uint16_t kTwoccDc = uint16_t('d' | 'c' << 8);  // compressed picture
constexpr uint16_t kTwoccPc = uint16_t('p' | 'c' << 8);  // palette change

// The chunk id of stream `stream` (0..99) with the two-character kind `twocc`.
constexpr uint32_t StreamChunkId(uint32_t stream, uint16_t twocc) {
    return uint32_t('0' + stream / 10) | uint32_t('0' + stream % 10) << 8 | uint32_t(twocc) << 16;
}

enum class AviReadStatus {
    Ok,
    CannotOpen,     // the file cannot be opened for reading
    NotAvi,         // no RIFF/AVI header, or a header list that does not fit the file
    NoVideoStream,  // no usable "vids" stream (or one numbered past 99)
    BadFormat,      // the video stream's strh or strf is missing or too short
};

// One chunk of the video stream. Offsets are 64-bit so that OpenDML files past 4 GiB fit.
struct AviChunkRef {
    uint64_t offset = 0;  // of the chunk's data, past its 8-byte header, from the file start
    uint32_t size = 0;
    uint32_t flags = 0;  // idx1 flags (kAviifKeyframe ...); 0 when found by walking movi
};

// A palette-change chunk and the picture it precedes.
struct AviPaletteChange {
    AviChunkRef chunk;
    size_t beforeFrame = 0;
};

// Where the frame list came from.
enum class AviIndexSource { None, OpenDml, Idx1Relative, Idx1Absolute, MoviWalk };

class AviReader {
public:
    AviReader() = default;
    AviReader(const AviReader&) = delete;
    AviReader& operator=(const AviReader&) = delete;

    // Opens `path` and finds the first video stream and its chunks. On failure the reader is
    // closed.
    AviReadStatus open(const std::string& path);
    void close();
    bool isOpen() const { return file_.isOpen(); }
    // The system's words for why the last open() found no file to read.
    std::string openReason() const { return file_.reason(); }

    const AviMainHeader& mainHeader() const { return mainHeader_; }
    // strh and strn of the video stream, in the platform's 140-byte record.
    const AviStreamInfo& streamInfo() const { return info_; }
    // The whole strf body: BITMAPINFOHEADER and what follows (colour table, masks).
    const std::vector<uint8_t>& format() const { return format_; }
    // The stream's number among all streams of the file, as in its chunk ids.
    uint32_t streamNumber() const { return streamNumber_; }
    uint32_t streamCount() const { return streamCount_; }
    AviIndexSource indexSource() const { return indexSource_; }
    uint64_t fileSize() const { return fileSize_; }

    // Pictures in file order, one per "NNdb"/"NNdc" chunk; palette changes are not among them.
    size_t frameCount() const { return frames_.size(); }
    const AviChunkRef& frame(size_t i) const { return frames_[i]; }
    const std::vector<AviPaletteChange>& paletteChanges() const { return paletteChanges_; }

    // True when the header in front of the chunk's data is there but is not this stream's
    // chunk of this size: only a sample of an index is checked at open. False too when the
    // file no longer holds the header (cut during the run); reading the chunk then fails.
    bool chunkDamaged(const AviChunkRef& ref);
    // Reads the first `n` bytes (at most ref.size) of chunk `ref` to `out`. False when the
    // chunk is not intact or the file does not hold its bytes; `out` may then be partly written.
    bool readChunk(const AviChunkRef& ref, uint8_t* out, size_t n);
    // Reads the whole chunk, reusing the capacity of `out`.
    bool readChunk(const AviChunkRef& ref, std::vector<uint8_t>& out);

private:
    struct Span {
        uint64_t begin = 0;
        uint64_t end = 0;
    };
    AviReadStatus parse();
    bool readAt(uint64_t offset, void* out, size_t n);
    void parseHeaderList(const uint8_t* data, size_t size);
    void parseStreamList(const uint8_t* data, size_t size);
    void findExtensions(uint64_t from);
    // The index readers add the chunks they list and raise `resume` to the end of the last.
    bool useOpenDmlIndex(uint64_t& resume);
    bool useIdx1(Span idx1, Span movi, uint64_t& resume);
    bool chunkHeaderIs(uint64_t headerOffset, uint32_t id, uint32_t size);
    // Chunks follow one another in the file: an index entry at or before the last picture's
    // lists a chunk again and is passed over, so that an index cannot make more pictures than
    // the file holds. The data offsets of the last two pictures listed:
    struct Order {
        uint64_t prior = 0, last = 0;
    };
    bool listedAgain(uint64_t data, Order& order);
    uint64_t nextHeader(uint64_t dataEnd, uint32_t size, uint64_t end);
    void walkFrom(uint64_t resume);
    bool walkMovi(Span movi, int depth);
    void addChunk(uint32_t id, const AviChunkRef& ref);

    File file_;
    uint64_t fileSize_ = 0;
    AviMainHeader mainHeader_;
    AviStreamInfo info_;
    std::vector<uint8_t> format_;
    bool haveVideo_ = false;
    bool videoComplete_ = false;
    uint32_t streamNumber_ = 0;
    uint32_t streamCount_ = 0;
    uint32_t frameId_[2] = {};
    uint32_t paletteId_ = 0;
    uint32_t stdIndexId_[2] = {};
    std::vector<uint8_t> superIndex_;  // the video stream's indx body
    uint32_t dmlhFrames_ = 0;
    std::vector<Span> spans_;  // movi lists: the first, then those of the AVIX segments
    AviIndexSource indexSource_ = AviIndexSource::None;
    std::vector<AviChunkRef> frames_;
    std::vector<AviPaletteChange> paletteChanges_;
};

}  // namespace kestrel
