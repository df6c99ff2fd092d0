#include "run/batch.h"

#include <cstdio>

#include "corrections/dark.h"
#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/bitmap.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings.h"

namespace kestrel {

namespace {

int32_t g_busy = 0;
RunSummary g_lastRun;

// Failures found below the run carry their words; they are shown at once, with no owner.
void ShowFailure(Windowing& w, const Failure& failure) {
    if (failure) w.messageBox(failure.message, kErrorCaption, Buttons::Ok, Owner::None);
}

bool FileOpensForReading(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

}  // namespace

int32_t Busy() { return g_busy; }
const RunSummary& LastRun() { return g_lastRun; }

std::string OverwriteQuestion(const std::string& path) {
    return "File " + path + " exists. Overwrite?";
}

void RunBatch(Windowing& w) {
    if (g_busy) return;
    Settings& settings = AppSettings();

    g_lastRun = RunSummary{};
    if (w.setupDialog() != Pressed::Ok) return;

    // The file is only asked about here; it is replaced when the first frame is written.
    if (FileOpensForReading(settings.OutputFile) &&
        w.messageBox(OverwriteQuestion(settings.OutputFile), "Confirm Overwrite", Buttons::YesNo,
                     Owner::MainWindow) != Pressed::Yes)
        return;

    w.clearPreview();

    Failure failure;
    const bool useDark = settings.SubDark || settings.Hot;
    if (useDark && !LoadDarkFrame(settings, failure)) {
        ShowFailure(w, failure);
        return;
    }

    w.beginWaitCursor();
    g_busy = 1;
    g_lastRun.started = true;

    int32_t more = ReadNextFrame(settings, failure);
    ShowFailure(w, failure);
    while (more) {
        // A frame read while Escape is down is dropped: neither corrected, shown nor written.
        if (w.escapeDown()) break;
        while (w.drainUntilCommand())
            w.messageBox("Press ESC to stop processing", "Info", Buttons::Ok, Owner::MainWindow);

        Image& frame = ImageBuffer();
        if (useDark) {
            failure.clear();
            ApplyDarkFrame(frame, DarkImage(), settings, failure);
            ShowFailure(w, failure);
        }
        if (settings.Vert) CorrectVerticalGradient(frame, settings);
        if (settings.Horiz) CorrectHorizontalGradient(frame, settings);
        if (settings.Stretch) StretchHistogram(frame, settings);

        w.showFrame(frame, ReadPosition(), InputStreamInfo().dwLength);

        failure.clear();
        if (!WriteFrame(frame, settings, failure)) {
            ShowFailure(w, failure);
            break;
        }
        ++g_lastRun.framesWritten;
        failure.clear();
        more = ReadNextFrame(settings, failure);
        ShowFailure(w, failure);
    }

    failure.clear();
    if (CloseVideo(failure))
        g_lastRun.outputComplete = g_lastRun.framesWritten > 0;
    else
        ShowFailure(w, failure);
    w.endWaitCursor();
    g_busy = 0;
}

}  // namespace kestrel
