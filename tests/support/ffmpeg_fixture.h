// Tests that compare with ffmpeg: skipped where it is not installed; each starts and ends with
// no input video open, since the frame source holds one for the whole process.
#pragma once

#include <gtest/gtest.h>

#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel::test {

class FfmpegFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        CloseInputVideo();
    }
    void TearDown() override { CloseInputVideo(); }
    TempDir dir;
};

}  // namespace kestrel::test
