// Writes an AVI file with one video stream. The file is built under a temporary name beside
// the target and renamed over it only when it is complete, so a crash, a full disk or a
// killed process never leaves a half-written file under the target's name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "io/file.h"

namespace kestrel {

enum class AviWriteStatus {
    Ok,
    CannotCreate,   // the temporary file cannot be made beside the target
    CannotWrite,    // the system refused bytes (disk full, quota, file size limit, I/O error)
    SizeLimit,      // the next chunk would take the file past what its RIFF header can describe
    BadFormat,      // the format cannot describe a picture (no width, no height, too large)
};

struct AviIndexEntry {
    uint32_t chunkId;
    uint32_t flags;
    uint64_t offset;  // of the chunk header, from the start of the file
    uint32_t size;
};

class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter();  // abandons an unfinished file: the temporary file is removed
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Starts the file. `info` is written as the stream header (dwLength, dwSuggestedBufferSize
    // and the main header's totals are set from the chunks written); `format` is the whole strf
    // body, a BITMAPINFOHEADER and what follows it (colour table, masks). `chunkId` names the
    // video chunks, "00db" for uncompressed pictures. CannotCreate when the temporary file
    // cannot be made, BadFormat when `format` describes no picture (width <= 0, height 0) or
    // one frame of it would not fit the size limit, CannotWrite when the headers are refused;
    // after a failure nothing is left on disk. An unfinished earlier file is abandoned.
    AviWriteStatus create(const std::string& path, const AviStreamInfo& info,
                          const std::vector<uint8_t>& format, uint32_t chunkId);

    // Appends one chunk. On CannotWrite or SizeLimit the chunk is not part of the file; every
    // chunk written before it still is, and finish() can still complete the file.
    AviWriteStatus writeChunk(const uint8_t* data, size_t size, uint32_t flags = kAviifKeyframe);

    // Completes the headers and the index, puts the data on disk and renames the file over the
    // target. When the index itself cannot be stored the file is completed without it (and
    // without AVIF_HASINDEX). Afterwards the writer is closed, whatever the result; on a
    // failure the temporary file is removed and the target is as it was.
    AviWriteStatus finish();

    // Drops the temporary file; the target is left as it was.
    void abandon();

    bool isOpen() const { return file_.isOpen(); }
    // Chunks in the file being written, or in the last one finished.
    uint32_t chunksWritten() const { return uint32_t(index_.size()); }
    const std::string& temporaryPath() const { return tempPath_; }

    // Bytes of the file so far: headers and whole chunks, without the index.
    uint64_t bytesWritten() const { return end_; }

    // The largest file the writer makes, index included; lower only in tests of the limit.
    // It applies from the next create() or writeChunk().
    void setSizeLimitForTesting(uint64_t bytes) { sizeLimit_ = bytes; }
    // What a RIFF header can describe: its size field counts everything after the first 8 bytes.
    static constexpr uint64_t kRiffSizeLimit = 0xFFFFFFFFull;

private:
    // Everything before the first chunk, with the totals as they stand; its size never changes,
    // so finish() can write it again over the first version.
    std::vector<uint8_t> headerBytes(uint64_t fileEnd, bool hasIndex) const;
    AviWriteStatus writeAt(uint64_t offset, const std::vector<uint8_t>& bytes);
    // After a refused write: reopens the file and cuts it back to the end of the last whole
    // chunk, so that what is on disk is again exactly what the index describes.
    bool cutBackToLastChunk();
    void closeAndRemove();
    uint64_t sizeLimit() const { return sizeLimit_ < kRiffSizeLimit ? sizeLimit_ : kRiffSizeLimit; }

    File file_;
    std::string path_;
    std::string tempPath_;
    AviStreamInfo info_{};
    std::vector<uint8_t> format_;
    uint32_t chunkId_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
    uint64_t moviListOffset_ = 0;  // of the "LIST" of the movi list
    uint64_t end_ = 0;             // where the next chunk goes
    uint64_t writtenBack_ = 0;     // data before this has been handed to the disk
    uint32_t largestChunk_ = 0;
    bool broken_ = false;          // the file could not be brought back to a known state
    std::vector<AviIndexEntry> index_;
    uint64_t sizeLimit_ = kRiffSizeLimit;
};

}  // namespace kestrel
