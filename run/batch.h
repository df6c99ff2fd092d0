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
    bool started = false;       // the frame loop was reached
    int32_t framesWritten = 0;
    bool outputComplete = false;  // the output holds those frames under its name
};
const RunSummary& LastRun();

// The overwrite question for `path`, composed without truncation whatever its length.
std::string OverwriteQuestion(const std::string& path);

// The Process command. Uses the process-wide settings record.
void RunBatch(Windowing& windowing);

}  // namespace kestrel
