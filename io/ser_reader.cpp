#include "io/ser_reader.h"

#include <algorithm>
#include <numeric>

#include "base/byte_cursor.h"
#include "base/failure.h"
#include "base/image.h"

namespace kestrel {

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;

bool ColourReason(int32_t colorId, std::string& reason) {
    switch (colorId) {
        case kSerMono:
        case kSerBayerRggb:
        case kSerBayerGrbg:
        case kSerBayerGbrg:
        case kSerBayerBggr:
        case kSerRgb:
        case kSerBgr: return true;
    }
    if (colorId >= kSerBayerCyym && colorId <= kSerBayerMcyy)
        return Refuse(reason, "cyan-yellow-magenta mosaics are not read");
    return Refuse(reason, "the colour layout " + std::to_string(colorId) + " is not read");
}

}  // namespace

bool SerReader::open(const std::string& path, int32_t depth, std::string& reason) {
    close();
    if (!file_.open(path, File::Mode::Read)) return Refuse(reason, file_.reason());
    uint8_t head[kSerHeaderSize];
    const int64_t size = file_.size();
    if (size < int64_t(kSerHeaderSize) || file_.read(head, sizeof head) != sizeof head ||
        !ParseSerHeader(head, sizeof head, header_)) {
        close();
        return Refuse(reason, size < 0 ? file_.reason() : "not a SER file");
    }
    if (depth > 0) header_.depth = depth;
    auto refused = [&](std::string why) {
        close();
        return Refuse(reason, std::move(why));
    };
    if (!ColourReason(header_.colorId, reason)) return refused(reason);
    if (header_.depth < 1 || header_.depth > 16)
        return refused("a sample depth of " + std::to_string(header_.depth) + " bits is not read");
    if (header_.height <= 0) return refused("the picture has no width or height");
    if (const char* why = PictureSizeRefusal(header_.width, header_.height, kStoredPictures))
        return refused(why);

    frameBytes_ = SerFrameBytes(header_);
    const uint64_t body = uint64_t(size) - kSerHeaderSize;
    const uint64_t whole = body / frameBytes_;
    // A count of 0 or past the file's end: the whole frames that are there.
    const bool countHolds = header_.frameCount > 0 && uint64_t(header_.frameCount) <= whole;
    frames_ = size_t(countHolds ? uint64_t(header_.frameCount) : whole);
    const uint64_t trailer = uint64_t(frames_) * 8;
    if (countHolds && body - frames_ * frameBytes_ >= trailer) {
        std::vector<uint8_t> bytes(static_cast<size_t>(trailer));
        if (file_.seek(kSerHeaderSize + frames_ * frameBytes_) &&
            file_.read(bytes.data(), bytes.size()) == bytes.size()) {
            ByteCursor in(bytes.data(), bytes.size());
            timestamps_.resize(frames_);
            for (int64_t& t : timestamps_) t = int64_t(in.u64());
        }
    }
    return true;
}

void SerReader::close() {
    file_.close();
    header_ = {};
    frameBytes_ = 0;
    frames_ = 0;
    timestamps_.clear();
}

bool SerReader::readFrame(size_t index, uint8_t* out) {
    if (index >= frames_) return false;
    return file_.readAt(kSerHeaderSize + index * frameBytes_, out, size_t(frameBytes_)) ==
           frameBytes_;
}

bool FrameRateOfTimestamps(const std::vector<int64_t>& timestamps, uint32_t& rate,
                           uint32_t& scale) {
    if (timestamps.size() < 2) return false;
    // Wrapped, not overflowed: a wild timestamp gives a wild interval, which the median ignores.
    std::vector<int64_t> intervals(timestamps.size() - 1);
    for (size_t i = 1; i < timestamps.size(); ++i)
        intervals[i - 1] = int64_t(uint64_t(timestamps[i]) - uint64_t(timestamps[i - 1]));
    auto middle = intervals.begin() + ptrdiff_t(intervals.size() / 2);
    std::nth_element(intervals.begin(), middle, intervals.end());
    const int64_t ticks = *middle;
    // Under a microsecond or over a day between frames is no frame rate.
    if (ticks < 10 || ticks > 86400 * kTicksPerSecond) return false;
    const int64_t g = std::gcd(ticks, kTicksPerSecond);
    rate = uint32_t(kTicksPerSecond / g);
    scale = uint32_t(ticks / g);
    // Over some 7 minutes between frames the exact scale needs more than 32 bits: counted in
    // milliseconds instead.
    if (ticks / g > UINT32_MAX) {
        rate = 1000;
        scale = uint32_t((ticks + 5000) / 10000);
    }
    return true;
}

}  // namespace kestrel
