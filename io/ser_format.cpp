#include "io/ser_format.h"

#include "base/byte_cursor.h"

namespace kestrel {

bool ParseSerHeader(const uint8_t* data, size_t size, SerHeader& h) {
    ByteCursor in(data, size);
    char id[kSerFileId.size()];
    if (!in.bytes(id, sizeof id) || std::string_view(id, sizeof id) != kSerFileId) return false;
    h.luId = in.i32();
    h.colorId = in.i32();
    h.littleEndian = in.i32();
    h.width = in.i32();
    h.height = in.i32();
    h.depth = in.i32();
    h.frameCount = in.i32();
    in.bytes(h.observer, kSerTextSize);
    in.bytes(h.instrument, kSerTextSize);
    in.bytes(h.telescope, kSerTextSize);
    h.dateTime = int64_t(in.u64());
    h.dateTimeUtc = int64_t(in.u64());
    return !in.failed();
}

void AppendSerHeader(std::vector<uint8_t>& out, const SerHeader& h) {
    PutBytes(out, kSerFileId.data(), kSerFileId.size());
    for (int32_t v : {h.luId, h.colorId, h.littleEndian, h.width, h.height, h.depth, h.frameCount})
        PutI32(out, v);
    PutBytes(out, h.observer, kSerTextSize);
    PutBytes(out, h.instrument, kSerTextSize);
    PutBytes(out, h.telescope, kSerTextSize);
    PutU64(out, uint64_t(h.dateTime));
    PutU64(out, uint64_t(h.dateTimeUtc));
}

}  // namespace kestrel
