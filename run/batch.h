// One batch run: Setup dialog, overwrite question, dark frame, then read, correct, show and
// write every frame until the input ends, Escape is held down or the output fails.
#pragma once

#include <cstdint>
#include <string>

#include "run/windowing.h"

namespace kestrel {

// 1 while a run's frame loop is active; every command is ignored meanwhile.
int32_t Busy();

// What the last run did, for front ends that report it.
struct RunSummary {
    bool refused = false;  // the output name was refused, or overwriting it
    bool started = false;  // the frame loop was reached
    int32_t framesWritten = 0;
    bool writeFailed = false;     // the output refused a frame
    bool outputComplete = false;  // the output holds those frames under its name
    // Where the input ended, when it ended by itself rather than by Escape or a failure: the
    // position that had no picture, and the length the input's header announced.
    int32_t inputEndedAt = -1;
    uint32_t announcedLength = 0;
};
const RunSummary& LastRun();

// The overwrite question for `path`, composed without truncation whatever its length.
std::string OverwriteQuestion(const std::string& path);

// The Process command. Uses the process-wide settings record.
void RunBatch(Windowing& windowing);

}  // namespace kestrel
