#include "io/frame_sink.h"

#include <cctype>
#include <cstring>

#include "io/avi_writer.h"
#include "io/frame_source.h"
#include "io/ser_writer.h"

namespace kestrel {

namespace {

constexpr uint16_t kOutputBitCount = 24;

const char kCantOpenOutput[] = "Can't open AVI output file";
const char kCantCreateStream[] = "Can't create AVI output stream";
const char kCantSetFormat[] = "Can't set AVI stream format";
const char kCantWriteOutput[] = "Can't write AVI output file";

enum class OutputState {
    NotCreated,  // no output in this run yet
    Writing,
    Failed,  // creation or a write failed; the run is ending and nothing more is written
};

OutputState g_state = OutputState::NotCreated;
bool g_replaceAllowed = false;
std::string g_outputName;  // as the user gave it, for messages
BitmapInfoHeader g_format;
AviWriter g_writer;
// A SER output, when the output's name asks for one; its frames are the Image's own rows.
bool g_ser = false;
SerWriter g_serWriter;
std::vector<int64_t> g_timestamps;  // the SER input's, kept for the frames written
// Reused from frame to frame: a 1080p frame is 6 MB, and allocating it anew costs page faults
// on every frame.
std::vector<uint8_t> g_frameData;

// The 40-byte header of a 24-bit bottom-up frame of this size. biSizeImage is 0 when the picture
// would not fit a 32-bit size; the output refuses such a format.
BitmapInfoHeader OutputFrameHeader(int32_t width, int32_t height) {
    BitmapInfoHeader h;
    h.biSize = kBitmapInfoHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = kOutputBitCount;
    h.biCompression = kBiRgb;
    if (width > 0 && height > 0) {
        uint64_t bytes = DibStride(uint64_t(width), kOutputBitCount) * uint64_t(height);
        h.biSizeImage = bytes <= UINT32_MAX ? uint32_t(bytes) : 0;
    }
    return h;
}

bool CreateSerOutput(const Image& frame, const Settings& settings, Failure& failure) {
    SerHeader h;
    if (const SerHeader* input = InputSerHeader()) h = *input;
    h.colorId = frame.channels == 3 ? kSerBgr : kSerMono;
    h.littleEndian = 0;
    h.width = frame.width;
    h.height = frame.height;
    h.depth = 8;
    g_timestamps = InputTimestamps();
    if (g_serWriter.create(settings.OutputFile, h,
                           g_replaceAllowed ? IfExists::Replace : IfExists::Keep)) {
        g_ser = true;
        g_outputName = settings.OutputFile;
        return true;
    }
    failure = {kCantOpenOutput, settings.OutputFile, g_serWriter.reason()};
    return false;
}

bool CreateOutputVideo(const BitmapInfoHeader& header, const Settings& settings, Failure& failure) {
    AviStreamInfo info = InputStreamInfo();
    info.fccHandler = 0;
    // Rows are stored bottom row first; a top-down header would describe another picture.
    if (header.biHeight < 0 || header.biSizeImage == 0) {
        failure.message = kCantSetFormat;
        failure.file = settings.OutputFile;
        failure.reason = header.biHeight < 0 ? "its rows are stored top row first"
                                             : "the frame has no pixels or too many";
        return false;
    }
    std::vector<uint8_t> format;
    AppendBitmapInfoHeader(format, header);  // 40 bytes, no colour table
    const AviWriteStatus status =
        g_writer.create(settings.OutputFile, info, format, kFcc00db,
                        g_replaceAllowed ? IfExists::Replace : IfExists::Keep);
    if (status == AviWriteStatus::Ok) {
        g_format = header;
        g_outputName = settings.OutputFile;
        return true;
    }
    failure.file = settings.OutputFile;
    failure.message = status == AviWriteStatus::CannotCreate  ? kCantOpenOutput
                      : status == AviWriteStatus::CannotWrite ? kCantCreateStream
                                                              : kCantSetFormat;
    failure.reason = g_writer.reason();
    return false;
}

}  // namespace

TargetState InspectOutput(const Settings& settings, Failure& failure) {
    failure.clear();
    std::string why;
    TargetState state = InspectTarget(settings.OutputFile, why);
    if (state == TargetState::File) {
        // Checked before anything is written: the run would destroy what it reads.
        if (IsSameFile(settings.OutputFile, settings.InputFile))
            why = "it is the input file";
        else if ((settings.SubDark || settings.Hot) &&
                 IsSameFile(settings.OutputFile, settings.DarkFrame))
            why = "it is the dark frame";
        if (!why.empty()) state = TargetState::Refused;
    }
    if (state == TargetState::Refused) failure = {kCantOpenOutput, settings.OutputFile, why};
    return state;
}

void AllowReplacingOutput(bool allowed) { g_replaceAllowed = allowed; }

bool OutputReplacesAFile() {
    return g_ser ? g_serWriter.isOpen() && g_serWriter.replacesAFile()
                 : g_writer.isOpen() && g_writer.replacesAFile();
}

bool WritesSer(const std::string& outputName) {
    const size_t n = outputName.size();
    if (n < 4 || outputName[n - 4] != '.') return false;
    std::string ext = outputName.substr(n - 3);
    for (char& c : ext) c = char(std::tolower(uint8_t(c)));
    return ext == "ser";
}

bool PackFrameData(const Image& frame, std::vector<uint8_t>& data) {
    if (!frame.consistent()) return false;
    const size_t width = size_t(frame.width);
    const size_t height = size_t(frame.height);
    const uint64_t stride = DibStride(width, kOutputBitCount);
    if (stride * height > UINT32_MAX) return false;
    data.resize(size_t(stride * height));

    const size_t pixelBytes = 3 * width;
    const uint8_t* src = frame.pixels.data();
    for (size_t r = 0; r < height; ++r) {
        uint8_t* row = data.data() + (height - 1 - r) * stride;
        if (frame.channels == 3) {
            std::memcpy(row, src + r * pixelBytes, pixelBytes);
        } else {
            const uint8_t* grey = src + r * width;
            for (size_t j = 0; j < width; ++j)
                row[3 * j] = row[3 * j + 1] = row[3 * j + 2] = grey[j];
        }
        std::memset(row + pixelBytes, 0, size_t(stride) - pixelBytes);
    }
    return true;
}

bool WriteFrame(const Image& frame, const Settings& settings, Failure& failure) {
    if (ReadPosition() < 0) return false;
    if (g_state == OutputState::Failed) return false;  // told when it happened

    const BitmapInfoHeader header = OutputFrameHeader(frame.width, frame.height);
    if (g_state == OutputState::NotCreated) {
        const bool created = WritesSer(settings.OutputFile)
                                 ? CreateSerOutput(frame, settings, failure)
                                 : CreateOutputVideo(header, settings, failure);
        if (!created) {
            g_state = OutputState::Failed;
            return false;
        }
        g_state = OutputState::Writing;
    }
    // Every frame of the stream has the format it was created with; a frame of another size
    // cannot be stored in it.
    std::string why;
    if (g_ser) {
        const SerHeader& h = g_serWriter.header();
        if (frame.width != h.width || frame.height != h.height ||
            frame.channels != SerPlanes(h.colorId))
            why = "the frame's size differs from the first frame's";
        else if (!frame.consistent())
            why = "the frame's pixels do not fill its size";
        else if (g_serWriter.writeFrame(frame.pixels.data(), frame.pixels.size()))
            return true;
        else
            why = g_serWriter.reason();
    } else if (header.biWidth != g_format.biWidth || header.biHeight != g_format.biHeight) {
        why = "the frame's size differs from the first frame's";
    } else if (!PackFrameData(frame, g_frameData)) {
        why = "the frame's pixels do not fill its size";
    } else if (g_writer.writeChunk(g_frameData.data(), g_frameData.size(), kAviifKeyframe) ==
               AviWriteStatus::Ok) {
        return true;
    } else {
        why = g_writer.reason();  // a refused write, or after hundreds of GiB a full index
    }
    failure.message = kCantWriteOutput;
    failure.file = settings.OutputFile;
    failure.reason =
        why +
        (OutputReplacesAFile() ? "; the file that was there is kept and the new one removed" : "");
    // The frames before this one stay in the file; CloseVideo completes it unless it would
    // replace a whole earlier output.
    g_state = OutputState::Failed;
    return false;
}

void SetOutputSegmentLimitForTesting(uint64_t bytes) { g_writer.setSegmentLimitForTesting(bytes); }

bool CloseVideo(Failure& failure) {
    CloseInputVideo();
    bool ok = true;
    if (g_ser) {
        // As for AVI: nothing worth an existing file, or a part that would replace a whole one.
        if (g_serWriter.isOpen() &&
            (g_serWriter.framesWritten() == 0 ||
             (g_state == OutputState::Failed && g_serWriter.replacesAFile())))
            g_serWriter.abandon();
        if (g_serWriter.isOpen() && !g_serWriter.finish(g_timestamps)) {
            failure = {kCantWriteOutput, g_outputName, g_serWriter.reason()};
            ok = false;
        }
    }
    // An output whose first frame could not be stored holds nothing worth an existing file.
    if (g_writer.isOpen() && g_writer.chunksWritten() == 0) g_writer.abandon();
    if (g_writer.isOpen() && g_state == OutputState::Failed && g_writer.replacesAFile())
        g_writer.abandon();
    if (g_writer.isOpen() && g_writer.finish() != AviWriteStatus::Ok) {
        failure.message = kCantWriteOutput;
        failure.file = g_outputName;
        failure.reason = g_writer.reason();
        ok = false;
    }
    AbandonVideo();
    return ok;
}

void AbandonVideo() {
    CloseInputVideo();
    // A writer that lost its file after a refused write still has a temporary file to remove.
    g_writer.abandon();
    g_serWriter.abandon();
    g_ser = false;
    std::vector<int64_t>().swap(g_timestamps);
    g_state = OutputState::NotCreated;
    g_replaceAllowed = false;
    std::vector<uint8_t>().swap(g_frameData);
}

}  // namespace kestrel
