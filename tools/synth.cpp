// kestrel-synth: a deterministic synthetic long-exposure sky video and its dark frame, for
// tests, demonstrations and benchmarks of the batch processor.
#include <cstdio>
#include <string>
#include <vector>

#include "base/file.h"
#include "io/avi_writer.h"
#include "io/bitmap.h"
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

int WriteVideo(const SynthOptions& o, const SkyModel& model) {
    AviWriter writer;
    AviWriteStatus s =
        writer.create(o.output, StreamInfo(o.layout, o.width, o.height, o.fps, o.frames),
                      StreamFormat(o.layout, o.width, o.height), kFcc00db);
    if (s != AviWriteStatus::Ok) return Fail(o.output + ": " + Describe(s));
    // One rendered frame and one packed frame, reused: memory does not grow with the count.
    Image frame;
    std::vector<uint8_t> chunk;
    for (uint32_t i = 0; i < o.frames; ++i) {
        RenderSkyFrame(model, i, frame);
        PackFrame(frame, o.layout, chunk);
        s = writer.writeChunk(chunk.data(), chunk.size());
        if (s != AviWriteStatus::Ok)
            return Fail(o.output + ": frame " + std::to_string(i) + ": " + Describe(s));
    }
    s = writer.finish();
    if (s != AviWriteStatus::Ok) return Fail(o.output + ": " + Describe(s));
    return 0;
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

    if (int rc = WriteVideo(o, model); rc != 0) return rc;
    std::string darkNote = "no dark frame";
    if (o.writeDark) {
        Image dark;
        RenderDarkFrame(model, dark);
        if (!WriteBmp24(o.dark, dark, error)) return Fail(o.dark + ": " + error);
        darkNote = "dark frame " + o.dark + " (" + Count(uint64_t(FileSize(o.dark)), "byte") +
                   ", " + Count(model.hotPixels.size(), "hot pixel") + ")";
    }
    std::printf("kestrel-synth: wrote %s (%dx%d %s%s, %s at %u fps, %s) and %s\n", o.output.c_str(),
                o.width, o.height, LayoutName(o.layout), o.colour ? " colour" : "",
                Count(o.frames, "frame").c_str(), o.fps,
                Count(uint64_t(FileSize(o.output)), "byte").c_str(), darkNote.c_str());
    return 0;
}
