// kestrel-synth: a deterministic synthetic long-exposure sky video and its dark frame, for
// tests, demonstrations and benchmarks of the batch processor.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/file.h"
#include "io/avi_writer.h"
#include "io/bitmap.h"
#include "io/frame_sink.h"
#include "io/ser_writer.h"
#include "tools/sky_model.h"
#include "tools/synth_options.h"
#include "tools/video_layout.h"

namespace {

using namespace kestrel;
using namespace kestrel::synth;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* Describe(AviWriteStatus s) {
    switch (s) {
        case AviWriteStatus::Ok: return "done";
        case AviWriteStatus::CannotCreate: return "cannot create the file";
        case AviWriteStatus::CannotWrite: return "cannot write to the file";
        case AviWriteStatus::SizeLimit: return "the file's segment index is full";
        case AviWriteStatus::BadFormat: return "the picture format was refused";
    }
    return "unknown failure";
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "kestrel-synth: %s\n", what.c_str());
    return kExitFailure;
}

std::string Count(uint64_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

int64_t FileSize(const std::string& path) {
    File f;
    return f.open(path, File::Mode::Read) ? f.size() : -1;
}

using RenderFrame = std::function<void(uint32_t frame, Image& out)>;

int WriteSer(const SynthOptions& o, const std::string& path, uint32_t frames, uint64_t stream,
             const RenderFrame& render) {
    SerWriter writer;
    if (!writer.create(path, MakeSerHeader(o.layout, o.width, o.height, o.ser)))
        return Fail(path + ": " + writer.reason());
    Image frame;
    std::vector<uint8_t> samples;
    for (uint32_t i = 0; i < frames; ++i) {
        render(i, frame);
        PackSerFrame(frame, o.layout, o.ser, Mix64(Mix64(o.seed, stream), i), samples);
        if (!writer.writeFrame(samples.data(), samples.size()))
            return Fail(path + ": frame " + std::to_string(i) + ": " + writer.reason());
    }
    if (!writer.finish(o.timestamps ? SerTimestamps(frames, o.fps) : std::vector<int64_t>()))
        return Fail(path + ": " + writer.reason());
    return 0;
}

// `frames` frames of `render` in the options' format, in a SER file when `path` names one and
// an AVI otherwise. `stream` keeps the dither of one video apart from another's.
int WriteVideo(const SynthOptions& o, const std::string& path, uint32_t frames, uint64_t stream,
               const RenderFrame& render) {
    if (WritesSer(path)) return WriteSer(o, path, frames, stream, render);
    AviWriter writer;
    AviWriteStatus s = writer.create(path, StreamInfo(o.layout, o.width, o.height, o.fps, frames),
                                     StreamFormat(o.layout, o.width, o.height), kFcc00db);
    if (s != AviWriteStatus::Ok) return Fail(path + ": " + Describe(s));
    // One rendered frame and one packed frame, reused: memory does not grow with the count.
    Image frame;
    std::vector<uint8_t> chunk;
    for (uint32_t i = 0; i < frames; ++i) {
        render(i, frame);
        PackFrame(frame, o.layout, chunk);
        s = writer.writeChunk(chunk.data(), chunk.size());
        if (s != AviWriteStatus::Ok)
            return Fail(path + ": frame " + std::to_string(i) + ": " + Describe(s));
    }
    s = writer.finish();
    if (s != AviWriteStatus::Ok) return Fail(path + ": " + Describe(s));
    return 0;
}

// What the files hold, for the closing message: "320x240 bayer RGGB 12-bit SER".
std::string Describe(const SynthOptions& o) {
    std::string what = std::to_string(o.width) + "x" + std::to_string(o.height) + " " +
                       LayoutName(o.layout) + (o.colour && !IsBayer(o.layout) ? " colour" : "");
    if (WritesSer(o.output) || (o.writeDark && WritesSer(o.dark)))
        what += " " + std::to_string(o.ser.bits) + "-bit SER" +
                (o.ser.bits > 8 && o.ser.bigEndian ? " big-endian" : "");
    return what;
}

}  // namespace

int main(int argc, char** argv) {
    SynthOptions o;
    std::string error;
    switch (ParseSynthOptions(argc, argv, o, error)) {
        case ParseResult::Help: std::fputs(SynthUsage(), stdout); return 0;
        case ParseResult::Error:
            std::fprintf(stderr, "kestrel-synth: %s\nTry 'kestrel-synth --help'.\n", error.c_str());
            return kExitUsage;
        case ParseResult::Run: break;
    }

    SkyParams params;
    params.width = o.width;
    params.height = o.height;
    params.channels = o.colour ? 3 : 1;
    params.seed = o.seed;
    params.hotPixels = HotPixelCount(o);
    const SkyModel model = BuildSkyModel(params);

    const auto sky = [&](uint32_t i, Image& out) { RenderSkyFrame(model, i, out); };
    if (int rc = WriteVideo(o, o.output, o.frames, 1, sky); rc != 0) return rc;
    std::string darkNote = "no dark frame";
    const std::string hot = Count(model.hotPixels.size(), "hot pixel");
    if (o.writeDark && IsVideoName(o.dark)) {
        const auto dark = [&](uint32_t i, Image& out) { RenderDarkVideoFrame(model, i, out); };
        if (int rc = WriteVideo(o, o.dark, o.darkFrames, 2, dark); rc != 0) return rc;
        darkNote = "dark video " + o.dark + " (" + Count(o.darkFrames, "frame") + ", " +
                   Count(uint64_t(FileSize(o.dark)), "byte") + ", " + hot + ")";
    } else if (o.writeDark) {
        Image dark;
        RenderDarkFrame(model, dark);
        if (!WriteBmp24(o.dark, dark, error)) return Fail(o.dark + ": " + error);
        darkNote = "dark frame " + o.dark + " (" + Count(uint64_t(FileSize(o.dark)), "byte") +
                   ", " + hot + ")";
    }
    std::printf("kestrel-synth: wrote %s (%s, %s at %u fps, %s) and %s\n", o.output.c_str(),
                Describe(o).c_str(), Count(o.frames, "frame").c_str(), o.fps,
                Count(uint64_t(FileSize(o.output)), "byte").c_str(), darkNote.c_str());
    return 0;
}
