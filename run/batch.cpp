#include "run/batch.h"

#include <new>

#include "corrections/dark.h"
#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/dark_frame.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings.h"

namespace kestrel {

namespace {

int32_t g_busy = 0;
RunSummary g_lastRun;

// Failures found below the run carry their words; they are shown at once, with no owner.
void ShowFailure(Windowing& w, const Failure& failure) {
    if (failure)
        w.messageBox(failure.message, kErrorCaption, Buttons::Ok, Owner::None, failure.details());
}

// The run after the question: dark frame, then every frame until the input ends, Escape is down
// or the output fails. `waiting` tells the caller that the wait cursor is up.
void ProcessFrames(Windowing& w, const Settings& settings, bool replaceAgreed, bool& waiting) {
    Failure failure;
    const bool useDark = settings.SubDark || settings.Hot;
    if (useDark && !LoadDarkFrame(settings, failure)) {
        ShowFailure(w, failure);
        return;
    }

    w.beginWaitCursor();
    waiting = true;
    g_busy = 1;
    g_lastRun.started = true;
    AllowReplacingOutput(replaceAgreed);

    int32_t more = ReadNextFrame(settings, failure);
    ShowFailure(w, failure);
    bool inputEnded = !more;
    while (more) {
        // A frame read while Escape is down is dropped: neither corrected, shown nor written.
        if (w.escapeDown()) break;
        while (w.drainUntilCommand())
            w.messageBox("Press ESC to stop processing", "Info", Buttons::Ok, Owner::MainWindow,
                         {});

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
            g_lastRun.writeFailed = true;
            break;
        }
        ++g_lastRun.framesWritten;
        more = ReadNextFrame(settings, failure);
        ShowFailure(w, failure);
        inputEnded = !more && !failure;
    }
    if (inputEnded && ReadPosition() >= 0) {
        g_lastRun.inputEndedAt = ReadPosition();
        g_lastRun.announcedLength = InputStreamInfo().dwLength;
    }

    failure.clear();
    // After a failed write, a file that was there is kept rather than replaced by a part.
    const bool kept = g_lastRun.writeFailed && OutputReplacesAFile();
    if (CloseVideo(failure))
        g_lastRun.outputComplete = g_lastRun.framesWritten > 0 && !kept;
    else
        ShowFailure(w, failure);
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

    // The output name is looked at, never opened (a FIFO would block). Only a file the user may
    // replace is asked about; anything else ends the command before any frame.
    Failure failure;
    const TargetState output = InspectOutput(settings, failure);
    if (output == TargetState::Refused) {
        ShowFailure(w, failure);
        g_lastRun.refused = true;
        return;
    }
    if (output == TargetState::File &&
        w.messageBox(OverwriteQuestion(settings.OutputFile), "Confirm Overwrite", Buttons::YesNo,
                     Owner::MainWindow, {}) != Pressed::Yes) {
        g_lastRun.refused = true;
        return;
    }

    w.clearPreview();

    bool waiting = false;
    try {
        ProcessFrames(w, settings, output == TargetState::File, waiting);
    } catch (const std::bad_alloc&) {
        // Nothing of a run that ran out of memory is kept: the old output stays as it was.
        AbandonVideo();
        g_lastRun.outputComplete = false;
        ShowFailure(w, {"Not enough memory", "", ""});
    }
    if (waiting) w.endWaitCursor();
    g_busy = 0;
}

}  // namespace kestrel
