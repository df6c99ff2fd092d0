// The input video: every frame of the file read as grey, then the whole batch run in colour
// with the corrections on, its output written to a scratch file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "run/batch.h"
#include "fuzz/fuzz_support.h"
#include "io/frame_source.h"
#include "settings/settings.h"

using namespace kestrel;

namespace {

// Far more than any input within -max_len holds; reaching it means the reader does not end.
constexpr int kMaxFrames = 1 << 20;
// A chunk of a few bytes can make a compressed picture of the largest size, and a small file
// many of them: each takes seconds under the sanitizers. Past this many pixels an input is
// read no further (the colour run is stopped as Escape stops it), to stay within -timeout.
constexpr uint64_t kPixelBudget = uint64_t(1) << 25;

uint64_t Pixels(const Image& image) { return uint64_t(image.width) * uint64_t(image.height); }

// The colour run's user, who presses Escape once the budget is spent.
class BudgetWindowing final : public fuzz::SilentWindowing {
public:
    explicit BudgetWindowing(uint64_t left) : left_(left) {}
    bool escapeDown() override {
        const uint64_t pixels = Pixels(ImageBuffer());
        if (pixels > left_) return true;
        left_ -= pixels;
        return false;
    }

private:
    uint64_t left_;
};

// Returns the pixels read.
uint64_t ReadEveryFrameGrey(const std::string& path) {
    Settings s;
    s.InputFile = path;
    Failure failure;
    int frames = 0;
    uint64_t pixels = 0;
    while (pixels < kPixelBudget && ReadNextFrame(s, failure)) {
        if (!ImageBuffer().consistent() || ImageBuffer().channels != 1) fuzz::Fail();
        if (++frames > kMaxFrames) fuzz::Fail();
        pixels += Pixels(ImageBuffer());
    }
    if (!failure.message.empty() && failure.reason.empty()) fuzz::Fail();  // a refusal says why
    CloseInputVideo();
    return pixels;
}

void RunInColour(const std::string& path, const std::string& output, uint64_t budget) {
    Settings& s = AppSettings();
    s = Settings{};
    s.InputFile = path;
    s.OutputFile = output;
    s.Colour = 1;
    s.Vert = s.Horiz = s.Stretch = 1;
    BudgetWindowing w(budget);
    RunBatch(w);
    if (LastRun().framesWritten != w.frames) fuzz::Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzz::ScratchFile("input.avi");
    static const std::string output = fuzz::ScratchFile("output.avi");
    fuzz::WriteScratch(input, data, size);
    const uint64_t read = ReadEveryFrameGrey(input);
    if (read < kPixelBudget) RunInColour(input, output, kPixelBudget - read);
    return 0;
}
