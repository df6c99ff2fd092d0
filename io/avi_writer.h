// Writes an AVI file with one video stream. The file replaces the target only when it is
// complete (base/replace_file.h), so a crash, a full disk or a killed process never leaves a
// half-written file under the target's name.
//
// Files of any length are OpenDML: the first segment (RIFF 'AVI ') stays within 1 GiB and keeps
// its idx1, so that players that know only AVI 1.0 still play its frames; later frames follow in
// RIFF 'AVIX' segments. Every segment's movi list ends with its ix00 index of chunks, and the
// stream's indx lists those; LIST odml/dmlh holds the total number of frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/replace_file.h"
#include "io/avi_format.h"

namespace kestrel {

enum class AviWriteStatus {
    Ok,
    CannotCreate,  // the temporary file cannot be made beside the target
    CannotWrite,   // the system refused bytes (disk full, quota, file size limit, I/O error)
    SizeLimit,     // the super index has no room for another segment
    BadFormat,     // the format cannot describe a picture (no width, no height, too large)
};

// One chunk of the segment being written: its data's offset from the movi list's 'movi'
// fourcc (what idx1 and ix00 both count from, each in its own way) and its size.
struct AviIndexEntry {
    uint32_t offset;  // of the chunk header, from 'movi'
    uint32_t size;
    uint32_t flags;
};

// A finished segment, as its super index entry describes it.
struct AviSegment {
    uint64_t indexOffset = 0;  // of the ix00 chunk header
    uint32_t indexBytes = 0;   // of the ix00 chunk, header included
    uint32_t frames = 0;
};

class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter();  // abandons an unfinished file: the temporary file is removed
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Starts the file. `info` is written as the stream header (dwLength, dwSuggestedBufferSize
    // and the main header's totals are set from the chunks written; the dwLength given sizes the
    // super index, with room to spare); `format` is the whole strf body, a BITMAPINFOHEADER and
    // what follows it (colour table, masks). `chunkId` names the video chunks, "00db" for
    // uncompressed pictures. CannotCreate when the temporary file cannot be made, BadFormat
    // when `format` describes no picture (width <= 0, height 0) or one frame of it would not
    // fit a RIFF segment, CannotWrite when the headers are refused;
    // after a failure nothing is left on disk. An unfinished earlier file is abandoned.
    // `ifExists` says whether a file at `path` may be replaced (base/replace_file.h).
    //
    // From the first chunk on, the temporary file is an unfinished capture that readers take
    // as far as it goes: its RIFF and movi sizes are 0 until finish().
    AviWriteStatus create(const std::string& path, const AviStreamInfo& info,
                          const std::vector<uint8_t>& format, uint32_t chunkId,
                          IfExists ifExists = IfExists::Replace);

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

    // Why the last call that did not return Ok failed, in a few words for beneath the user's
    // message.
    const std::string& reason() const { return reason_; }

    // From create() until finish() or abandon(), also after a write left the file broken.
    bool isOpen() const { return out_.isOpen(); }
    // True while the file being written is to replace one that was at the target.
    bool replacesAFile() const { return out_.replacesAFile(); }
    // Chunks in the file being written, or in the last one finished.
    uint32_t chunksWritten() const { return totalFrames_; }

    // The largest segment, indexes included, unless one chunk alone is larger.
    static constexpr uint64_t kSegmentLimit = uint64_t(1) << 30;
    // Fewest entries the super index has room for: 256 segments are 256 GiB.
    static constexpr uint32_t kMinSuperIndexEntries = 256;
    // Lowers the segment size, from the next create() on, so that tests can make many
    // segments of small frames.
    void setSegmentLimitForTesting(uint64_t bytes) {
        segmentLimit_ = bytes ? bytes : kSegmentLimit;
    }

private:
    // Everything before the first chunk, with the totals as they stand; its size never changes,
    // so finish() can write it again over the first version. The super index is JUNK until
    // the file is finished.
    std::vector<uint8_t> headerBytes(bool finished) const;
    // What ends the open segment: its ix00 and, in the first segment, idx1.
    std::vector<uint8_t> segmentTail() const;
    uint64_t tailBytes(uint64_t chunks) const;
    // Ends the open segment at end_ with its tail; with `next`, a new AVIX segment starts after
    // it. On a refused write the file is cut back to end_ and the segment stays open.
    AviWriteStatus closeSegment(bool next);
    AviWriteStatus writeAt(uint64_t offset, const std::vector<uint8_t>& bytes);
    // Sets the reason from the file's last refused call; returns `status`.
    AviWriteStatus refused(AviWriteStatus status);
    AviWriteStatus refused(AviWriteStatus status, const std::string& why);
    // After a refused write: cuts the file back to `length` (the end of the last whole chunk,
    // as a rule), so that what is on disk is again exactly what the indexes say.
    bool cutBackTo(uint64_t length);

    ReplacingFile out_;
    File& file_ = out_.file();  // the temporary file, owned by out_
    std::string reason_;
    AviStreamInfo info_{};
    std::vector<uint8_t> format_;
    uint32_t chunkId_ = 0;
    uint32_t indexId_ = 0;  // "ix00" for "00db"
    int32_t width_ = 0;
    int32_t height_ = 0;
    uint32_t superIndexEntries_ = 0;  // room reserved in strl
    uint64_t segmentStart_ = 0;       // of the open segment's RIFF header
    uint64_t moviListOffset_ = 0;     // of the open segment's "LIST" of the movi list
    uint64_t end_ = 0;                // where the next chunk goes
    uint64_t writtenBack_ = 0;        // data before this has been handed to the disk
    uint32_t largestChunk_ = 0;
    uint32_t totalFrames_ = 0;
    // The first segment, once it is closed: where it ends, its frames, whether idx1 is there.
    uint64_t firstSegmentEnd_ = 0;
    uint32_t firstSegmentFrames_ = 0;
    bool hasIdx1_ = false;
    bool broken_ = false;               // the file could not be brought back to a known state
    std::vector<AviIndexEntry> index_;  // of the open segment
    std::vector<AviSegment> segments_;  // closed ones
    uint64_t segmentLimit_ = kSegmentLimit;
};

}  // namespace kestrel
