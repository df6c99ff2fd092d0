// Placeholder until the writer lands.
#include "io/avi_writer.h"

namespace kestrel {

AviWriter::~AviWriter() { abandon(); }
AviWriteStatus AviWriter::create(const std::string&, const AviStreamInfo&,
                                 const std::vector<uint8_t>&, uint32_t) {
    return AviWriteStatus::CannotCreate;
}
AviWriteStatus AviWriter::writeChunk(const uint8_t*, size_t, uint32_t) {
    return AviWriteStatus::CannotWrite;
}
AviWriteStatus AviWriter::finish() { return AviWriteStatus::CannotWrite; }
void AviWriter::abandon() { file_.close(); }

}  // namespace kestrel
