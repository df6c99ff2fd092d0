#include "io/avi_reader.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// A header list past this is not a real file's (a few streams, their formats and palettes).
constexpr uint64_t kMaxHeaderListBytes = 16u << 20;
constexpr size_t kIdx1EntriesPerRead = 4096;
// rec lists do not nest in practice; the bound keeps a hostile file from recursing deeply.
constexpr int kMaxListDepth = 4;
constexpr size_t kMaxStreamName = 63;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Chunk ids are four printable characters ("00dc", "ix00", "JUNK"); pixel data rarely is.
bool LooksLikeChunkId(const uint8_t* p) {
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    return true;
}

// Some writers leave out the pad byte after an odd-sized chunk. `next` holds min(room, 9) of
// the bytes that follow the chunk's data, `room` counts those left in its list: the next
// chunk is where a plausible header is, `preferred` bytes on (0 or 1) when both places hold
// one or neither does.
uint64_t PadBefore(const uint8_t* next, uint64_t room, uint64_t preferred) {
    auto plausible = [&](uint64_t at) {
        return at + 8 <= room && LooksLikeChunkId(next + at) &&
               Le32(next + at + 4) <= room - at - 8;
    };
    if (plausible(preferred)) return preferred;
    return plausible(1 - preferred) ? 1 - preferred : preferred;
}

// The same over bytes in memory, for the header lists.
void SkipChunkData(ByteCursor& in, size_t size) {
    in.skip(size);
    if ((size & 1) && in.remaining() > 0) in.skip(size_t(PadBefore(in.here(), in.remaining(), 1)));
}

}  // namespace

AviReadStatus AviReader::open(const std::string& path) {
    close();
    if (!file_.open(path, File::Mode::Read)) return AviReadStatus::CannotOpen;
    AviReadStatus status = parse();
    if (status != AviReadStatus::Ok) close();
    return status;
}

void AviReader::close() {
    file_.close();
    fileSize_ = 0;
    mainHeader_ = {};
    info_ = {};
    format_.clear();
    haveVideo_ = videoComplete_ = false;
    streamNumber_ = streamCount_ = 0;
    frameId_[0] = frameId_[1] = paletteId_ = 0;
    stdIndexId_[0] = stdIndexId_[1] = 0;
    superIndex_.clear();
    spans_.clear();
    dmlhFrames_ = 0;
    indexSource_ = AviIndexSource::None;
    frames_.clear();
    paletteChanges_.clear();
}

bool AviReader::readAt(uint64_t offset, void* out, size_t n) {
    if (offset > fileSize_ || n > fileSize_ - offset) return false;
    return file_.readAt(offset, out, n) == n;
}

AviReadStatus AviReader::parse() {
    int64_t size = file_.size();
    if (size < 12) return AviReadStatus::NotAvi;
    fileSize_ = uint64_t(size);

    uint8_t head[12];
    if (!readAt(0, head, 12)) return AviReadStatus::NotAvi;
    const uint64_t riffSize = Le32(head + 4);
    if (Le32(head) != kFccRiff || Le32(head + 8) != kFccAvi || (riffSize > 0 && riffSize < 4))
        return AviReadStatus::NotAvi;
    // A file cut short claims more than it holds: read what is there. A size of 0 is what a
    // capture that never finished leaves behind.
    const bool riffClosed = riffSize > 0 && 8 + riffSize <= fileSize_;
    const uint64_t riffEnd = riffClosed ? 8 + riffSize : fileSize_;

    bool haveHeaderList = false;
    Span movi, idx1;
    bool haveMovi = false, haveIdx1 = false, moviClosed = false;
    uint64_t pos = 12;
    while (pos + 8 <= riffEnd) {
        uint8_t h[12];
        if (!readAt(pos, h, 8)) break;
        const uint32_t id = Le32(h);
        const uint64_t dataBegin = pos + 8;
        const uint64_t dataEnd = dataBegin + Le32(h + 4);
        const bool whole = dataEnd <= riffEnd;
        if (id == kFccList) {
            if (dataBegin + 4 > riffEnd || !readAt(dataBegin, h + 8, 4)) break;
            const uint32_t type = Le32(h + 8);
            if (type == kFccHdrl && !haveHeaderList) {
                if (dataEnd < dataBegin + 4) return AviReadStatus::NotAvi;
                const uint64_t bodySize = dataEnd - dataBegin - 4;
                if (!whole || bodySize > kMaxHeaderListBytes) return AviReadStatus::NotAvi;
                std::vector<uint8_t> body(static_cast<size_t>(bodySize));
                if (!readAt(dataBegin + 4, body.data(), body.size())) return AviReadStatus::NotAvi;
                parseHeaderList(body.data(), body.size());
                haveHeaderList = true;
            } else if (type == kFccMovi && !haveMovi) {
                haveMovi = true;
                // A movi list still being captured has a size of 0, or one past the file's end:
                // its chunks run to the end of what is there.
                moviClosed = whole && dataEnd >= dataBegin + 4;
                movi = {dataBegin + 4, moviClosed ? dataEnd : riffEnd};
                if (!moviClosed) break;
            }
        } else if (id == kFccIdx1 && whole && !haveIdx1) {
            idx1 = {dataBegin, dataEnd};
            haveIdx1 = true;
        }
        if (!whole) break;
        pos = nextHeader(dataEnd, uint32_t(dataEnd - dataBegin), riffEnd);
    }
    if (!haveHeaderList) return AviReadStatus::NotAvi;
    if (!haveVideo_) return AviReadStatus::NoVideoStream;
    if (!videoComplete_) return AviReadStatus::BadFormat;
    if (!haveMovi) return AviReadStatus::Ok;

    spans_.push_back(movi);
    // OpenDML: pictures past the first gigabyte follow in "RIFF AVIX" segments.
    if (riffClosed) findExtensions(nextHeader(riffEnd, uint32_t(riffSize), fileSize_));

    // The index of chunks, then idx1, then the chunks themselves; whatever follows the last
    // indexed chunk is walked too, as a capture cut short leaves it unindexed.
    uint64_t resume = 0;
    if (!superIndex_.empty() && useOpenDmlIndex(resume)) {
        indexSource_ = AviIndexSource::OpenDml;
    } else {
        frames_.clear();
        paletteChanges_.clear();
        if (haveIdx1 && useIdx1(idx1, movi, resume)) {
            // useIdx1 sets the source.
        } else {
            frames_.clear();
            paletteChanges_.clear();
            resume = 0;
            indexSource_ = AviIndexSource::MoviWalk;
        }
    }
    walkFrom(resume);
    // A capture that was never closed may give only the first segment's length in strh.
    if (dmlhFrames_ > info_.dwLength) info_.dwLength = dmlhFrames_;
    return AviReadStatus::Ok;
}

void AviReader::findExtensions(uint64_t at) {
    uint64_t segmentEnd = 0;
    while (at + 12 <= fileSize_) {
        uint8_t h[12];
        if (!readAt(at, h, 12)) return;
        const uint32_t id = Le32(h);
        const uint32_t size = Le32(h + 4);
        if (id == kFccRiff && Le32(h + 8) == kFccAvix) {
            // A segment still being captured has a size of 0, or one past the file's end.
            const bool closed = size >= 4 && at + 8 + size <= fileSize_;
            segmentEnd = closed ? at + 8 + size : fileSize_;
            at += 12;
            continue;
        }
        if (at >= segmentEnd) return;  // not a segment: whatever follows the last one
        const uint64_t dataEnd = at + 8 + uint64_t(size);
        if (id == kFccList && Le32(h + 8) == kFccMovi) {
            const bool whole = size >= 4 && dataEnd <= segmentEnd;
            spans_.push_back({at + 12, whole ? dataEnd : segmentEnd});
            if (!whole) return;
        }
        if (dataEnd > segmentEnd) return;
        at = nextHeader(dataEnd, size, segmentEnd == dataEnd ? fileSize_ : segmentEnd);
    }
}

void AviReader::parseHeaderList(const uint8_t* data, size_t size) {
    ByteCursor in(data, size);
    while (in.remaining() >= 8) {
        const uint32_t id = in.u32();
        const uint32_t claimed = in.u32();
        // A chunk that claims more than the list holds is read as far as it goes.
        const size_t len = std::min<size_t>(claimed, in.remaining());
        const uint8_t* body = in.here();
        if (id == kFccAvih) {
            ParseMainHeader(body, len, mainHeader_);
        } else if (id == kFccList && len >= 4 && Le32(body) == kFccStrl) {
            parseStreamList(body + 4, len - 4);
            ++streamCount_;
        } else if (id == kFccList && len >= 16 && Le32(body) == kFccOdml &&
                   Le32(body + 4) == kFccDmlh && Le32(body + 8) >= 4) {
            dmlhFrames_ = Le32(body + 12);
        }
        SkipChunkData(in, len);
        if (in.failed()) break;
    }
}

void AviReader::parseStreamList(const uint8_t* data, size_t size) {
    ByteCursor in(data, size);
    AviStreamInfo info;
    bool haveHeader = false;
    const uint8_t* format = nullptr;
    size_t formatSize = 0;
    const uint8_t* name = nullptr;
    size_t nameSize = 0;
    const uint8_t* superIndex = nullptr;
    size_t superIndexSize = 0;
    while (in.remaining() >= 8) {
        const uint32_t id = in.u32();
        const uint32_t claimed = in.u32();
        const size_t len = std::min<size_t>(claimed, in.remaining());
        const uint8_t* body = in.here();
        if (id == kFccStrh && !haveHeader) {
            haveHeader = ParseStreamHeader(body, len, info);
        } else if (id == kFccStrf && !format) {
            format = body;
            formatSize = len;
        } else if (id == kFccStrn && !name) {
            name = body;
            nameSize = len;
        } else if (id == kFccIndx && !superIndex) {
            superIndex = body;
            superIndexSize = len;
        }
        SkipChunkData(in, len);
        if (in.failed()) break;
    }
    // Chunk ids carry two decimal digits: a stream numbered past 99 cannot be addressed.
    const uint32_t number = streamCount_;
    if (haveVideo_ || !haveHeader || info.fccType != kFccVids || number > 99) return;
    haveVideo_ = true;
    streamNumber_ = number;
    frameId_[0] = StreamChunkId(number, kTwoccDb);
    frameId_[1] = StreamChunkId(number, kTwoccDc);
    paletteId_ = StreamChunkId(number, kTwoccPc);
    // "ix00" as written by most, "00ix" by some.
    stdIndexId_[0] = uint32_t('i' | 'x' << 8) | (frameId_[0] & 0xFFFF) << 16;
    stdIndexId_[1] = (frameId_[0] & 0xFFFF) | uint32_t('i' | 'x' << 8) << 16;
    if (!format || formatSize < kBitmapInfoHeaderSize) return;
    videoComplete_ = true;
    info_ = info;
    std::memset(info_.szName, 0, sizeof info_.szName);
    for (size_t i = 0; name && i < nameSize && i < kMaxStreamName && name[i] != 0; ++i)
        info_.szName[i] = char(name[i]);
    format_.assign(format, format + formatSize);
    if (superIndex) superIndex_.assign(superIndex, superIndex + superIndexSize);
}

bool AviReader::chunkHeaderIs(uint64_t headerOffset, uint32_t id, uint32_t size) {
    uint8_t h[8];
    return readAt(headerOffset, h, 8) && Le32(h) == id && Le32(h + 4) == size;
}

bool AviReader::useIdx1(Span idx1, Span movi, uint64_t& resume) {
    struct Entry {
        uint32_t id, flags, offset, size;
    };
    std::vector<Entry> entries;
    std::vector<uint8_t> block;
    const uint64_t count = (idx1.end - idx1.begin) / kIdx1EntrySize;
    for (uint64_t first = 0; first < count; first += kIdx1EntriesPerRead) {
        const size_t n = size_t(std::min<uint64_t>(kIdx1EntriesPerRead, count - first));
        block.resize(n * kIdx1EntrySize);
        if (!readAt(idx1.begin + first * kIdx1EntrySize, block.data(), block.size())) return false;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* e = block.data() + i * kIdx1EntrySize;
            const uint32_t id = Le32(e);
            if (id == frameId_[0] || id == frameId_[1] || id == paletteId_)
                entries.push_back({id, Le32(e + 4), Le32(e + 8), Le32(e + 12)});
        }
    }
    if (entries.empty()) return false;

    // Offsets count from the "movi" fourcc as a rule, from the file start in some writers: the
    // right base is the one at which the listed chunk really is.
    const uint64_t moviFourcc = movi.begin - 4;
    auto firstWithData =
        std::find_if(entries.begin(), entries.end(), [](const Entry& e) { return e.size > 0; });
    uint64_t base = moviFourcc;
    AviIndexSource source = AviIndexSource::Idx1Relative;
    if (firstWithData != entries.end()) {
        const Entry& e = *firstWithData;
        if (chunkHeaderIs(moviFourcc + e.offset, e.id, e.size)) {
        } else if (chunkHeaderIs(e.offset, e.id, e.size)) {
            base = 0;
            source = AviIndexSource::Idx1Absolute;
        } else {
            return false;
        }
    }
    // Every listed chunk must lie inside movi; a sample of them must really be there.
    std::vector<const Entry*> withData;
    uint64_t droppedEnd = 0;
    uint8_t h[8];
    for (const Entry& e : entries) {
        const uint64_t header = base + e.offset;
        if (e.size == 0) {
            // A dropped frame listed at a chunk of its stream that holds a picture: one of the
            // two sizes is wrong.
            if (header >= movi.begin && header + 8 <= movi.end && readAt(header, h, 8) &&
                Le32(h) == e.id) {
                if (Le32(h + 4) != 0) return false;
                // Really there: the walk after the index must not find it a second time.
                droppedEnd = std::max(droppedEnd, header + 8);
            }
            continue;
        }
        if (header < movi.begin || header + 8 + e.size > movi.end) return false;
        withData.push_back(&e);
    }
    // One damaged chunk is read as a dropped frame; an index with neither really there is not
    // this file's.
    if (!withData.empty() &&
        std::ranges::none_of(
            std::initializer_list<const Entry*>{withData[withData.size() / 2], withData.back()},
            [&](const Entry* e) { return chunkHeaderIs(base + e->offset, e->id, e->size); }))
        return false;
    Order order;
    for (const Entry& e : entries) {
        // A dropped frame may be listed with no chunk behind it; its offset is not used.
        const uint64_t data = e.size ? base + e.offset + 8 : 0;
        if (e.size && e.id != paletteId_ && listedAgain(data, order)) continue;
        addChunk(e.id, {data, e.size, e.flags});
        if (e.size) resume = std::max(resume, data + e.size);
    }
    resume = std::max(resume, droppedEnd);
    indexSource_ = source;
    return true;
}

bool AviReader::useOpenDmlIndex(uint64_t& resume) {
    // Palette changes share the standard index with the pictures, without their ids: a
    // palettised stream is read from idx1 or its chunks, which name every chunk.
    const uint16_t bitCount = uint16_t(format_[14] | format_[15] << 8);
    if (Le32(format_.data() + 16) == kBiRgb && bitCount <= 8) return false;

    ByteCursor super(superIndex_.data(), superIndex_.size());
    const uint16_t longsPerEntry = super.u16();
    super.u8();  // sub-type
    const uint8_t type = super.u8();
    const uint32_t inUse = super.u32();
    if (super.failed() || type != kAviIndexOfIndexes || longsPerEntry != 4 ||
        !super.seek(kSuperIndexHeaderSize))
        return false;
    const uint32_t listed = uint32_t(std::min<uint64_t>(
        inUse, (superIndex_.size() - kSuperIndexHeaderSize) / kSuperIndexEntrySize));

    std::vector<uint8_t> block;
    uint64_t previousEnd = 0;
    Order order;
    for (uint32_t i = 0; i < listed; ++i) {
        const uint64_t at = super.u64();
        super.u32();  // size
        super.u32();  // duration
        // Standard indexes lie one after another; one that overlaps, points outside the file
        // or cannot be read ends the list, and the chunks after it are walked.
        uint8_t h[8 + kStdIndexHeaderSize];
        if (at < previousEnd || !readAt(at, h, sizeof h)) break;
        const uint32_t id = Le32(h);
        const uint32_t size = Le32(h + 4);
        const bool named = id == stdIndexId_[0] || id == stdIndexId_[1];
        const uint32_t chunkId = Le32(h + 16);
        const uint32_t entries = Le32(h + 12);
        if (!named || size < kStdIndexHeaderSize || uint64_t(size) + 8 > fileSize_ - at ||
            h[11] != kAviIndexOfChunks || (h[8] | h[9] << 8) != 2 ||
            (chunkId != frameId_[0] && chunkId != frameId_[1]) ||
            entries > (size - kStdIndexHeaderSize) / kStdIndexEntrySize)
            break;
        const uint64_t base = uint64_t(Le32(h + 20)) | uint64_t(Le32(h + 24)) << 32;
        previousEnd = at + 8 + size;
        block.resize(size_t(entries) * kStdIndexEntrySize);
        if (!readAt(at + 8 + kStdIndexHeaderSize, block.data(), block.size())) break;

        const size_t before = frames_.size();
        bool sane = true;
        for (uint32_t k = 0; k < entries && sane; ++k) {
            const uint8_t* e = block.data() + size_t(k) * kStdIndexEntrySize;
            const uint32_t word = Le32(e + 4);
            const uint32_t chunkSize = word & ~kNotKeyframe;
            const uint32_t flags = word & kNotKeyframe ? 0 : kAviifKeyframe;
            const uint64_t data = base + Le32(e);
            if (chunkSize == 0) {
                // As in idx1: a dropped frame must not be listed at a picture's chunk.
                uint8_t c[8];
                const bool there = data >= 8 && readAt(data - 8, c, 8) &&
                                   (Le32(c) == frameId_[0] || Le32(c) == frameId_[1]);
                sane = !(there && Le32(c + 4) != 0);
                if (sane) frames_.push_back({0, 0, flags});
                // Really there: the walk after the index must not find it a second time.
                if (sane && there) resume = std::max(resume, data);
                continue;
            }
            sane = data >= 8 && data <= fileSize_ && chunkSize <= fileSize_ - data;
            if (sane && !listedAgain(data, order)) {
                frames_.push_back({data, chunkSize, flags});
                resume = std::max(resume, data + chunkSize);
            }
        }
        // The first or the last picture of each standard index must really be there.
        auto there = [&](size_t k) {
            const AviChunkRef& f = frames_[k];
            return !f.size || chunkHeaderIs(f.offset - 8, frameId_[0], f.size) ||
                   chunkHeaderIs(f.offset - 8, frameId_[1], f.size);
        };
        if (sane && frames_.size() > before && !there(before) && !there(frames_.size() - 1))
            sane = false;
        if (!sane) {
            frames_.resize(before);
            break;
        }
    }
    if (frames_.empty()) {
        resume = 0;
        return false;
    }
    return true;
}

uint64_t AviReader::nextHeader(uint64_t dataEnd, uint32_t size, uint64_t end) {
    if ((size & 1) == 0 || dataEnd >= end) return dataEnd + (size & 1);
    uint8_t next[9];
    const uint64_t room = end - dataEnd;
    if (!readAt(dataEnd, next, size_t(std::min<uint64_t>(room, 9)))) return dataEnd + 1;
    return dataEnd + PadBefore(next, room, 1);
}

void AviReader::walkFrom(uint64_t resume) {
    for (const Span& span : spans_) {
        if (resume >= span.end) continue;
        uint64_t begin = span.begin;
        if (resume > span.begin) {
            // After the last indexed chunk, with or without its pad byte.
            uint8_t next[9];
            const uint64_t room = span.end - resume;
            begin = resume;
            if (readAt(resume, next, size_t(std::min<uint64_t>(room, 9))))
                begin += PadBefore(next, room, 0);
        }
        resume = 0;
        if (!walkMovi({begin, span.end}, 0)) return;
    }
}

bool AviReader::walkMovi(Span movi, int depth) {
    uint64_t pos = movi.begin;
    while (pos + 8 <= movi.end) {
        uint8_t h[12];
        if (!readAt(pos, h, 8)) return false;
        const uint32_t id = Le32(h);
        const uint32_t size = Le32(h + 4);
        const uint64_t dataBegin = pos + 8;
        const uint64_t dataEnd = dataBegin + size;
        if ((id == kFccList || id == kFccRiff) && dataBegin + 4 <= movi.end) {
            if (!readAt(dataBegin, h + 8, 4)) return false;
            const uint32_t type = Le32(h + 8);
            // rec lists group a frame's chunks; a capture never closed holds its AVIX
            // segments inside the first movi, which then runs to the end of the file.
            const bool nested = (id == kFccList && (type == kFccRec || type == kFccMovi)) ||
                                (id == kFccRiff && type == kFccAvix);
            if (nested && depth < kMaxListDepth) {
                const bool closed = size >= 4 && dataEnd <= movi.end;
                if (!walkMovi({dataBegin + 4, closed ? dataEnd : movi.end}, depth + 1) || !closed)
                    return false;
                pos = nextHeader(dataEnd, size, movi.end);
                continue;
            }
        } else if (dataEnd <= movi.end) {
            addChunk(id, {dataBegin, size, 0});
        }
        // A chunk cut by the end of the file is dropped, and nothing after it can be found.
        if (dataEnd > movi.end) return false;
        pos = nextHeader(dataEnd, size, movi.end);
    }
    return true;
}

void AviReader::addChunk(uint32_t id, const AviChunkRef& ref) {
    if (id == frameId_[0] || id == frameId_[1])
        frames_.push_back(ref);
    else if (id == paletteId_)
        paletteChanges_.push_back({ref, frames_.size()});
}

bool AviReader::listedAgain(uint64_t data, Order& order) {
    if (data > order.last) {
        order.prior = order.last;
        order.last = data;
        return false;
    }
    // The last picture lies past this one: either this lists a chunk again, or the last entry
    // was damaged and pointed too far, and it becomes a dropped frame.
    if (data <= order.prior || frames_.empty() || !chunkDamaged(frames_.back())) return true;
    frames_.back() = {0, 0, frames_.back().flags};
    order.last = data;
    return false;
}

bool AviReader::chunkDamaged(const AviChunkRef& ref) {
    uint8_t h[8];
    if (ref.offset < 8 || !readAt(ref.offset - 8, h, 8)) return false;  // gone, not damaged
    const uint32_t id = Le32(h);
    return Le32(h + 4) != ref.size || (id != frameId_[0] && id != frameId_[1] && id != paletteId_);
}

bool AviReader::readChunk(const AviChunkRef& ref, uint8_t* out, size_t n) {
    if (n > ref.size) return false;
    if (n == 0) return true;
    return ref.offset >= 8 && !chunkDamaged(ref) && readAt(ref.offset, out, n);
}

bool AviReader::readChunk(const AviChunkRef& ref, std::vector<uint8_t>& out) {
    out.resize(ref.size);
    return readChunk(ref, out.data(), out.size());
}

}  // namespace kestrel
