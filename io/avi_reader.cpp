#include "io/avi_reader.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// A header list past this is not a real file's (a few streams, their formats and palettes).
constexpr uint64_t kMaxHeaderListBytes = 16u << 20;
constexpr size_t kIdx1EntrySize = 16;
constexpr size_t kIdx1EntriesPerRead = 4096;
// rec lists do not nest in practice; the bound keeps a hostile file from recursing deeply.
constexpr int kMaxListDepth = 4;
constexpr size_t kMaxStreamName = 63;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Padded(uint64_t size) { return size + (size & 1); }

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
    indexSource_ = AviIndexSource::None;
    frames_.clear();
    paletteChanges_.clear();
}

bool AviReader::readAt(uint64_t offset, void* out, size_t n) {
    if (offset > fileSize_ || n > fileSize_ - offset) return false;
    return file_.seek(offset) && file_.read(out, n) == n;
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
    const uint64_t riffEnd = riffSize == 0 ? fileSize_ : std::min(8 + riffSize, fileSize_);

    bool haveHeaderList = false;
    Span movi, idx1;
    bool haveMovi = false, haveIdx1 = false;
    uint64_t pos = 12;
    while (pos + 8 <= riffEnd) {
        uint8_t h[12];
        if (!readAt(pos, h, 8)) break;
        const uint32_t id = Le32(h);
        const uint64_t dataBegin = pos + 8;
        const uint64_t dataEnd = dataBegin + Le32(h + 4);
        const bool whole = dataEnd <= riffEnd;
        if (id == kFccList) {
            if (dataBegin + 4 > riffEnd || dataEnd < dataBegin + 4 || !readAt(dataBegin, h + 8, 4))
                break;
            const uint32_t type = Le32(h + 8);
            if (type == kFccHdrl && !haveHeaderList) {
                const uint64_t bodySize = dataEnd - dataBegin - 4;
                if (!whole || bodySize > kMaxHeaderListBytes) return AviReadStatus::NotAvi;
                std::vector<uint8_t> body(static_cast<size_t>(bodySize));
                if (!readAt(dataBegin + 4, body.data(), body.size())) return AviReadStatus::NotAvi;
                parseHeaderList(body.data(), body.size());
                haveHeaderList = true;
            } else if (type == kFccMovi && !haveMovi) {
                movi = {dataBegin + 4, std::min(dataEnd, riffEnd)};
                haveMovi = true;
            }
        } else if (id == kFccIdx1 && whole && !haveIdx1) {
            idx1 = {dataBegin, dataEnd};
            haveIdx1 = true;
        }
        if (!whole) break;
        pos = dataBegin + Padded(dataEnd - dataBegin);
    }
    if (!haveHeaderList) return AviReadStatus::NotAvi;
    if (!haveVideo_) return AviReadStatus::NoVideoStream;
    if (!videoComplete_) return AviReadStatus::BadFormat;

    if (haveMovi) {
        if (haveIdx1 && useIdx1(idx1, movi)) {
            // useIdx1 sets the source.
        } else {
            frames_.clear();
            paletteChanges_.clear();
            walkMovi(movi, 0);
            indexSource_ = AviIndexSource::MoviWalk;
        }
    }
    // OpenDML: pictures past the first gigabyte follow in "RIFF AVIX" segments, which idx1
    // never lists.
    if (riffSize > 0 && 8 + riffSize <= fileSize_) walkExtensions(8 + Padded(riffSize));
    return AviReadStatus::Ok;
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
        }
        if (!in.skip(std::min<size_t>(Padded(len), in.remaining()))) break;
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
        }
        if (!in.skip(std::min<size_t>(Padded(len), in.remaining()))) break;
    }
    // Chunk ids carry two decimal digits: a stream numbered past 99 cannot be addressed.
    const uint32_t number = streamCount_;
    if (haveVideo_ || !haveHeader || info.fccType != kFccVids || number > 99) return;
    haveVideo_ = true;
    streamNumber_ = number;
    frameId_[0] = StreamChunkId(number, kTwoccDb);
    frameId_[1] = StreamChunkId(number, kTwoccDc);
    paletteId_ = StreamChunkId(number, kTwoccPc);
    if (!format || formatSize < kBitmapInfoHeaderSize) return;
    videoComplete_ = true;
    info_ = info;
    std::memset(info_.szName, 0, sizeof info_.szName);
    for (size_t i = 0; name && i < nameSize && i < kMaxStreamName && name[i] != 0; ++i)
        info_.szName[i] = char(name[i]);
    format_.assign(format, format + formatSize);
}

bool AviReader::chunkHeaderIs(uint64_t headerOffset, uint32_t id, uint32_t size) {
    uint8_t h[8];
    return readAt(headerOffset, h, 8) && Le32(h) == id && Le32(h + 4) == size;
}

bool AviReader::useIdx1(Span idx1, Span movi) {
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
    for (const Entry& e : entries) {
        if (e.size == 0) continue;
        const uint64_t header = base + e.offset;
        if (header < movi.begin || header + 8 + e.size > movi.end) return false;
        withData.push_back(&e);
    }
    if (!withData.empty()) {
        for (const Entry* e : {withData[withData.size() / 2], withData.back()})
            if (!chunkHeaderIs(base + e->offset, e->id, e->size)) return false;
    }
    for (const Entry& e : entries) {
        // A dropped frame may be listed with no chunk behind it; its offset is not used.
        const uint64_t data = e.size ? base + e.offset + 8 : 0;
        addChunk(e.id, {data, e.size, e.flags});
    }
    indexSource_ = source;
    return true;
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
        if (id == kFccList && size >= 4 && dataBegin + 4 <= movi.end) {
            if (!readAt(dataBegin, h + 8, 4)) return false;
            if (Le32(h + 8) == kFccRec && depth < kMaxListDepth &&
                !walkMovi({dataBegin + 4, std::min(dataEnd, movi.end)}, depth + 1))
                return false;
        } else if (dataEnd <= movi.end) {
            addChunk(id, {dataBegin, size, 0});
        }
        // A chunk cut by the end of the file is dropped, and nothing after it can be found.
        if (dataEnd > movi.end) return false;
        pos = dataBegin + Padded(size);
    }
    return true;
}

void AviReader::walkExtensions(uint64_t pos) {
    while (pos + 12 <= fileSize_) {
        uint8_t h[12];
        if (!readAt(pos, h, 12) || Le32(h) != kFccRiff || Le32(h + 8) != kFccAvix) return;
        const uint64_t declaredEnd = pos + 8 + Le32(h + 4);
        const uint64_t end = std::min(declaredEnd, fileSize_);
        uint64_t at = pos + 12;
        while (at + 12 <= end) {
            if (!readAt(at, h, 12)) return;
            const uint64_t dataEnd = at + 8 + Le32(h + 4);
            if (Le32(h) == kFccList && Le32(h + 8) == kFccMovi) {
                if (!walkMovi({at + 12, std::min(dataEnd, end)}, 0)) return;
            }
            if (dataEnd > end) break;
            at = at + 8 + Padded(dataEnd - at - 8);
        }
        if (declaredEnd > fileSize_) return;
        pos = pos + 8 + Padded(declaredEnd - pos - 8);
    }
}

void AviReader::addChunk(uint32_t id, const AviChunkRef& ref) {
    if (id == frameId_[0] || id == frameId_[1])
        frames_.push_back(ref);
    else if (id == paletteId_)
        paletteChanges_.push_back({ref, frames_.size()});
}

bool AviReader::readChunk(const AviChunkRef& ref, uint8_t* out, size_t n) {
    if (n > ref.size) return false;
    if (n == 0) return true;
    // Only a sample of idx1 is checked at open: the header in front of the data must still be
    // this stream's chunk of this size.
    uint8_t h[8];
    if (ref.offset < 8 || !readAt(ref.offset - 8, h, 8) || Le32(h + 4) != ref.size) return false;
    const uint32_t id = Le32(h);
    if (id != frameId_[0] && id != frameId_[1] && id != paletteId_) return false;
    return readAt(ref.offset, out, n);
}

bool AviReader::readChunk(const AviChunkRef& ref, std::vector<uint8_t>& out) {
    out.resize(ref.size);
    return readChunk(ref, out.data(), out.size());
}

}  // namespace kestrel
