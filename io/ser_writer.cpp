#include "io/ser_writer.h"

#include "base/byte_cursor.h"
#include "base/image.h"

namespace kestrel {

bool SerWriter::fail(const std::string& why) {
    reason_ = why;
    return false;
}

bool SerWriter::create(const std::string& path, const SerHeader& header, IfExists ifExists) {
    abandon();
    if (header.height <= 0) return fail("the picture has no width or height");
    if (const char* why = PictureSizeRefusal(header.width, header.height, kStoredPictures))
        return fail(why);
    if (!out_.open(path, ifExists)) return fail(out_.reason());
    header_ = header;
    header_.frameCount = 0;
    frameBytes_ = SerFrameBytes(header_);
    frames_ = 0;
    broken_ = false;
    std::vector<uint8_t> bytes;
    AppendSerHeader(bytes, header_);
    if (!out_.file().write(bytes.data(), bytes.size()) || !out_.file().flush()) {
        const std::string why = out_.file().reason();
        abandon();
        return fail(why);
    }
    return true;
}

bool SerWriter::writeFrame(const uint8_t* data, size_t size) {
    if (broken_ || !out_.isOpen()) return fail(broken_ ? reason_ : "no file is open");
    if (size != frameBytes_) return fail("the frame's size differs from the first frame's");
    // The header counts frames in 32 bits.
    if (frames_ == INT32_MAX) return fail("the file holds as many frames as SER can count");
    File& f = out_.file();
    if (f.write(data, size) && f.flush()) {
        ++frames_;
        return true;
    }
    fail(f.reason());
    if (!out_.cutBack(kSerHeaderSize + frames_ * frameBytes_)) broken_ = true;
    return false;
}

bool SerWriter::finish(const std::vector<int64_t>& timestamps) {
    if (!out_.isOpen()) return fail("no file is open");
    File& f = out_.file();
    auto failed = [this](std::string why) {
        abandon();
        return fail(why);
    };
    if (broken_) return failed(reason_);
    header_.frameCount = int32_t(frames_);
    std::vector<uint8_t> bytes;
    if (timestamps.size() >= frames_)
        for (uint32_t i = 0; i < frames_; ++i) PutU64(bytes, uint64_t(timestamps[i]));
    // Frames without their times are still a whole file: a trailer that does not fit is left
    // out, as the AVI writer leaves out an index.
    if (!bytes.empty() && !(f.write(bytes.data(), bytes.size()) && f.flush()) &&
        !out_.cutBack(kSerHeaderSize + frames_ * frameBytes_))
        return failed(out_.reason());
    bytes.clear();
    AppendSerHeader(bytes, header_);
    if (!f.seek(0) || !f.write(bytes.data(), bytes.size()) || !f.flush())
        return failed(f.reason());
    if (!out_.commit()) return failed(out_.reason());
    return true;
}

}  // namespace kestrel
