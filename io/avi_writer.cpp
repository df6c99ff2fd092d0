#include "io/avi_writer.h"

#include <algorithm>
#include <cstring>

#include "base/image.h"

namespace kestrel {

namespace {

constexpr uint32_t kChunkHeaderSize = 8;
constexpr uint32_t kListHeaderSize = 12;
constexpr uint32_t kMainHeaderSize = 56;
// A RIFF size field counts everything after the first 8 bytes.
constexpr uint64_t kRiffLimit = 0xFFFFFFFFull + kChunkHeaderSize;
// Room for 64 TiB of segments keeps the header list small whatever dwLength claims.
constexpr uint32_t kMaxSuperIndexEntries = 1u << 16;
constexpr uint64_t kWritebackBytes = 32u << 20;

uint64_t Padded(uint64_t size) { return size + (size & 1); }

void PutChunkHeader(std::vector<uint8_t>& out, uint32_t id, uint32_t size) {
    PutU32(out, id);
    PutU32(out, size);
}

void PadToEven(std::vector<uint8_t>& out) {
    if (out.size() & 1) out.push_back(0);
}

uint32_t Clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

// Bytes of one picture in `format`, or 0 when the format does not tell (compressed data).
// False when the header cannot describe a picture at all.
bool PictureBytes(const std::vector<uint8_t>& format, int32_t& width, int32_t& height,
                  uint64_t& bytes) {
    if (format.size() < kBitmapInfoHeaderSize || format.size() > UINT32_MAX / 2) return false;
    ByteCursor in(format.data(), format.size());
    BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (in.failed() || h.biSize < kBitmapInfoHeaderSize || h.biSize > format.size()) return false;
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
    width = h.biWidth;
    height = int32_t(PictureRows(h.biHeight));
    if (h.biCompression == kBiRgb || h.biCompression == kBiBitfields) {
        if (h.biBitCount == 0) return false;
        bytes = DibStride(uint64_t(width), h.biBitCount) * uint64_t(height);
    } else {
        bytes = h.biSizeImage;
    }
    return true;
}

}  // namespace

AviWriter::~AviWriter() { abandon(); }

AviWriteStatus AviWriter::create(const std::string& path, const AviStreamInfo& info,
                                 const std::vector<uint8_t>& format, uint32_t chunkId,
                                 IfExists ifExists) {
    abandon();
    if (!out_.open(path, ifExists)) return refused(AviWriteStatus::CannotCreate, out_.reason());
    info_ = info;
    format_ = format;
    chunkId_ = chunkId;
    // The stream's two digits, as in its chunk ids.
    indexId_ = FourCC('i', 'x', char(chunkId & 0xFF), char(chunkId >> 8 & 0xFF));
    index_.clear();
    segments_.clear();
    largestChunk_ = totalFrames_ = firstSegmentFrames_ = 0;
    end_ = writtenBack_ = firstSegmentEnd_ = 0;
    hasIdx1_ = broken_ = false;

    uint64_t pictureBytes = 0;
    if (!PictureBytes(format_, width_, height_, pictureBytes)) {
        abandon();
        return refused(AviWriteStatus::BadFormat, "the format describes no picture");
    }
    // The super index is sized from the length the stream expects, twice over, since a capture
    // that was never closed may claim far fewer frames than it holds.
    const uint64_t perChunk = kChunkHeaderSize + Padded(pictureBytes) + kStdIndexEntrySize +
                              kIdx1EntrySize;
    const uint64_t perSegment = std::max<uint64_t>(1, segmentLimit_ / perChunk);
    const uint64_t expected = (uint64_t(info.dwLength) + perSegment - 1) / perSegment;
    superIndexEntries_ = uint32_t(std::clamp<uint64_t>(2 * expected + 16, kMinSuperIndexEntries,
                                                       kMaxSuperIndexEntries));

    std::vector<uint8_t> headers = headerBytes(false);
    segmentStart_ = 0;
    moviListOffset_ = headers.size() - kListHeaderSize;
    end_ = headers.size();
    // A file that cannot hold even one picture and its indexes is refused at the start.
    if (end_ + kChunkHeaderSize + Padded(pictureBytes) + tailBytes(1) > kRiffLimit) {
        abandon();
        return refused(AviWriteStatus::BadFormat, "one picture does not fit a RIFF segment");
    }
    if (!file_.write(headers.data(), headers.size()) || !file_.flush()) {
        refused(AviWriteStatus::CannotWrite);
        abandon();
        return AviWriteStatus::CannotWrite;
    }
    return AviWriteStatus::Ok;
}

std::vector<uint8_t> AviWriter::headerBytes(bool finished) const {
    // Until the first segment is closed, it is the whole file.
    const bool firstClosed = !segments_.empty();
    const uint32_t firstFrames = firstClosed ? firstSegmentFrames_ : totalFrames_;

    AviMainHeader avih;
    if (info_.dwRate != 0)
        avih.dwMicroSecPerFrame = Clamp32(1000000ull * info_.dwScale / info_.dwRate);
    if (info_.dwScale != 0)
        avih.dwMaxBytesPerSec = Clamp32(uint64_t(largestChunk_) * info_.dwRate / info_.dwScale);
    avih.dwFlags = kAvifTrustCkType | (hasIdx1_ || !finished ? kAvifHasIndex : 0);
    avih.dwTotalFrames = firstFrames;  // AVI 1.0 players see the first segment only
    avih.dwStreams = 1;
    avih.dwSuggestedBufferSize = largestChunk_;
    avih.dwWidth = uint32_t(width_);
    avih.dwHeight = uint32_t(height_);

    AviStreamInfo strh = info_;
    strh.dwLength = totalFrames_;
    strh.dwSuggestedBufferSize = largestChunk_;
    strh.dwSampleSize = 0;  // one chunk per frame

    const char* nameEnd = std::find(std::begin(info_.szName), std::end(info_.szName), '\0');
    const size_t nameLength = size_t(nameEnd - info_.szName);

    std::vector<uint8_t> out;
    out.reserve(1024 + format_.size() + kSuperIndexEntrySize * superIndexEntries_);
    PutChunkHeader(out, kFccRiff, 0);  // patched below
    PutU32(out, kFccAvi);
    const size_t hdrl = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccHdrl);
    PutChunkHeader(out, kFccAvih, kMainHeaderSize);
    AppendMainHeader(out, avih);
    const size_t strl = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccStrl);
    PutChunkHeader(out, kFccStrh, kStrhSize);
    AppendStreamHeader(out, strh);
    PutChunkHeader(out, kFccStrf, uint32_t(format_.size()));
    PutBytes(out, format_.data(), format_.size());
    PadToEven(out);
    if (nameLength > 0) {
        PutChunkHeader(out, kFccStrn, uint32_t(nameLength + 1));
        PutBytes(out, info_.szName, nameLength);
        PutU8(out, 0);
        PadToEven(out);
    }
    // The super index, or the room for it while the segments are still being written.
    const uint32_t indxBytes = kSuperIndexHeaderSize + kSuperIndexEntrySize * superIndexEntries_;
    const size_t indx = out.size();
    PutChunkHeader(out, finished ? kFccIndx : kFccJunk, indxBytes);
    out.resize(indx + kChunkHeaderSize + indxBytes, 0);
    if (finished) {
        std::vector<uint8_t> super;
        PutU16(super, 4);  // longs per entry
        PutU8(super, 0);
        PutU8(super, kAviIndexOfIndexes);
        PutU32(super, uint32_t(segments_.size()));
        PutU32(super, chunkId_);
        PutU32(super, 0);
        PutU32(super, 0);
        PutU32(super, 0);
        for (const AviSegment& s : segments_) {
            PutU64(super, s.indexOffset);
            PutU32(super, s.indexBytes);
            PutU32(super, s.frames);
        }
        std::memcpy(out.data() + indx + kChunkHeaderSize, super.data(), super.size());
    }
    PatchU32(out, strl + 4, uint32_t(out.size() - strl - kChunkHeaderSize));
    const size_t odml = out.size();
    PutChunkHeader(out, kFccList, 4 + kChunkHeaderSize + kDmlhSize);
    PutU32(out, kFccOdml);
    PutChunkHeader(out, kFccDmlh, kDmlhSize);
    PutU32(out, totalFrames_);
    out.resize(odml + kListHeaderSize + kChunkHeaderSize + kDmlhSize, 0);
    PatchU32(out, hdrl + 4, uint32_t(out.size() - hdrl - kChunkHeaderSize));
    const size_t movi = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccMovi);

    // The first movi list ends with its ix00; idx1 follows it.
    const uint64_t idx1Bytes =
        hasIdx1_ ? kChunkHeaderSize + kIdx1EntrySize * uint64_t(firstFrames) : 0;
    uint64_t firstEnd = firstClosed ? firstSegmentEnd_ : std::max<uint64_t>(end_, out.size());
    const uint64_t moviEnd = std::max<uint64_t>(movi + kListHeaderSize, firstEnd - idx1Bytes);
    firstEnd = std::max(firstEnd, moviEnd);
    PatchU32(out, movi + 4, finished ? uint32_t(moviEnd - movi - kChunkHeaderSize) : 0);
    PatchU32(out, 4, finished ? uint32_t(firstEnd - kChunkHeaderSize) : 0);
    return out;
}

uint64_t AviWriter::tailBytes(uint64_t chunks) const {
    const uint64_t ix = kChunkHeaderSize + kStdIndexHeaderSize + kStdIndexEntrySize * chunks;
    const bool first = segments_.empty();
    return ix + (first ? kChunkHeaderSize + kIdx1EntrySize * chunks : 0);
}

std::vector<uint8_t> AviWriter::segmentTail() const {
    std::vector<uint8_t> out;
    out.reserve(size_t(tailBytes(index_.size())));
    const uint64_t moviFourcc = moviListOffset_ + kChunkHeaderSize;
    PutChunkHeader(out, indexId_,
                   uint32_t(kStdIndexHeaderSize + kStdIndexEntrySize * index_.size()));
    PutU16(out, 2);  // longs per entry
    PutU8(out, 0);
    PutU8(out, kAviIndexOfChunks);
    PutU32(out, uint32_t(index_.size()));
    PutU32(out, chunkId_);
    PutU64(out, moviFourcc);  // entries point at the data, past each chunk's header
    PutU32(out, 0);
    for (const AviIndexEntry& e : index_) {
        PutU32(out, e.offset + kChunkHeaderSize);
        PutU32(out, e.size | ((e.flags & kAviifKeyframe) ? 0 : kNotKeyframe));
    }
    if (segments_.empty()) {
        PutChunkHeader(out, kFccIdx1, uint32_t(kIdx1EntrySize * index_.size()));
        for (const AviIndexEntry& e : index_) {
            PutU32(out, chunkId_);
            PutU32(out, e.flags);
            PutU32(out, e.offset);
            PutU32(out, e.size);
        }
    }
    return out;
}

AviWriteStatus AviWriter::closeSegment(bool next) {
    const bool first = segments_.empty();
    const std::vector<uint8_t> tail = segmentTail();
    const uint64_t ixBytes = tailBytes(index_.size()) -
                             (first ? kChunkHeaderSize + kIdx1EntrySize * index_.size() : 0);
    const uint64_t segmentEnd = end_ + tail.size();
    std::vector<uint8_t> bytes = tail;
    if (next) {
        PutChunkHeader(bytes, kFccRiff, 4 + kListHeaderSize);
        PutU32(bytes, kFccAvix);
        PutChunkHeader(bytes, kFccList, 4);
        PutU32(bytes, kFccMovi);
    }
    // The first segment's sizes are in the header, written again when the file is finished.
    std::vector<uint8_t> riffSize, moviSize;
    PutU32(riffSize, uint32_t(segmentEnd - segmentStart_ - kChunkHeaderSize));
    PutU32(moviSize, uint32_t(end_ + ixBytes - moviListOffset_ - kChunkHeaderSize));
    const bool ok = writeAt(end_, bytes) == AviWriteStatus::Ok &&
                    (first || (writeAt(segmentStart_ + 4, riffSize) == AviWriteStatus::Ok &&
                               writeAt(moviListOffset_ + 4, moviSize) == AviWriteStatus::Ok)) &&
                    file_.seek(end_ + bytes.size());
    if (!ok) {
        refused(AviWriteStatus::CannotWrite);
        if (!cutBackTo(end_)) broken_ = true;
        return AviWriteStatus::CannotWrite;
    }
    segments_.push_back({end_, uint32_t(ixBytes), uint32_t(index_.size())});
    if (first) {
        firstSegmentEnd_ = segmentEnd;
        firstSegmentFrames_ = uint32_t(index_.size());
        hasIdx1_ = true;
    }
    index_.clear();
    if (next) {
        segmentStart_ = segmentEnd;
        moviListOffset_ = segmentEnd + kListHeaderSize;
        end_ = segmentEnd + 2 * kListHeaderSize;
    } else {
        end_ = segmentEnd;
    }
    return AviWriteStatus::Ok;
}

AviWriteStatus AviWriter::writeChunk(const uint8_t* data, size_t size, uint32_t flags) {
    if (broken_) return AviWriteStatus::CannotWrite;  // the reason is the first refusal's
    if (!file_.isOpen()) return refused(AviWriteStatus::CannotWrite, "no file is open");
    // ix00 keeps bit 31 for flags.
    if (size > UINT32_MAX / 2) return refused(AviWriteStatus::SizeLimit, "the chunk is too large");
    // A segment closes before the chunk that would take it past its limit, indexes counted in;
    // a chunk larger than a whole segment gets one of its own, up to what RIFF can describe.
    auto fits = [&](uint64_t limit) {
        return end_ + kChunkHeaderSize + Padded(size) + tailBytes(index_.size() + 1) -
                   segmentStart_ <=
               limit;
    };
    if (!index_.empty() && !fits(segmentLimit_)) {
        // The open segment takes the last super index entry, so a new one needs room for two.
        if (segments_.size() + 2 > superIndexEntries_)
            return refused(AviWriteStatus::SizeLimit, "the index of segments is full");
        const AviWriteStatus closed = closeSegment(true);
        if (closed != AviWriteStatus::Ok) return closed;
    }
    if (!fits(kRiffLimit))
        return refused(AviWriteStatus::SizeLimit, "the chunk does not fit a RIFF segment");

    uint8_t header[kChunkHeaderSize];
    for (int i = 0; i < 4; ++i) {
        header[i] = uint8_t(chunkId_ >> (8 * i));
        header[4 + i] = uint8_t(size >> (8 * i));
    }
    static const uint8_t kPad = 0;
    bool ok = file_.write(header, sizeof(header)) && file_.write(data, size) &&
              ((size & 1) == 0 || file_.write(&kPad, 1)) && file_.flush();
    if (!ok) {
        refused(AviWriteStatus::CannotWrite);
        if (!cutBackTo(end_)) broken_ = true;
        return AviWriteStatus::CannotWrite;
    }
    const uint64_t moviFourcc = moviListOffset_ + kChunkHeaderSize;
    index_.push_back({uint32_t(end_ - moviFourcc), uint32_t(size), flags});
    ++totalFrames_;
    end_ += kChunkHeaderSize + Padded(size);
    // Hand the data to the disk as it comes, rather than all of it at the final sync.
    if (end_ - writtenBack_ >= kWritebackBytes) {
        file_.startWriteback(writtenBack_, end_ - writtenBack_);
        writtenBack_ = end_;
    }
    largestChunk_ = std::max(largestChunk_, uint32_t(size));
    return AviWriteStatus::Ok;
}

bool AviWriter::cutBackTo(uint64_t length) { return out_.cutBack(length); }

AviWriteStatus AviWriter::refused(AviWriteStatus status) { return refused(status, file_.reason()); }

AviWriteStatus AviWriter::refused(AviWriteStatus status, const std::string& why) {
    reason_ = why;
    return status;
}

AviWriteStatus AviWriter::writeAt(uint64_t offset, const std::vector<uint8_t>& bytes) {
    if (!file_.seek(offset) || !file_.write(bytes.data(), bytes.size()) || !file_.flush())
        return AviWriteStatus::CannotWrite;
    return AviWriteStatus::Ok;
}

AviWriteStatus AviWriter::finish() {
    if (!out_.isOpen()) return refused(AviWriteStatus::CannotWrite, "no file is open");
    auto fail = [this](std::string why) {
        abandon();
        return refused(AviWriteStatus::CannotWrite, why);
    };
    if (broken_) return fail(reason_);
    // An AVIX segment whose first chunk was refused holds nothing.
    if (!segments_.empty() && index_.empty()) {
        end_ = segmentStart_;
        if (!cutBackTo(end_)) return fail(file_.reason());
    } else if (closeSegment(false) != AviWriteStatus::Ok) {
        // No room for the last segment's indexes. The first segment is still a valid file
        // without them (readers scan the movi list); a later one is dropped, since readers find
        // its frames only through its index.
        if (broken_) return fail(reason_);
        if (!segments_.empty()) {
            totalFrames_ -= uint32_t(index_.size());
            index_.clear();
            end_ = segmentStart_;
            if (!cutBackTo(end_)) return fail(file_.reason());
        }
    }
    if (writeAt(0, headerBytes(true)) != AviWriteStatus::Ok) return fail(file_.reason());
    // Synced, given the old file's permissions, renamed over it.
    if (!out_.commit()) return fail(out_.reason());
    return AviWriteStatus::Ok;
}

void AviWriter::abandon() {
    out_.abandon();
    broken_ = false;
}

}  // namespace kestrel
