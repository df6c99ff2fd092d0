#include "corrections/dark.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

namespace {

// Fixed-length inner loops, which the compiler turns into vector code even at -O2.
constexpr size_t kBlock = 64;

void SubtractDark(uint8_t* __restrict frame, const uint8_t* __restrict dark, size_t n) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k)
            frame[i + k] = uint8_t(frame[i + k] - std::min(frame[i + k], dark[i + k]));
    for (; i < n; ++i) frame[i] = uint8_t(frame[i] - std::min(frame[i], dark[i]));
}

// Largest dark value of a run of samples: the quick test that lets a row without hot samples
// be passed over at the speed of a memory scan.
uint8_t BlockMax(const uint8_t* dark) {
    uint8_t m = 0;
    for (size_t k = 0; k < kBlock; ++k) m = std::max(m, dark[k]);
    return m;
}

struct RepairGeometry {
    ptrdiff_t rows = 0;
    ptrdiff_t rowBytes = 0;
    ptrdiff_t step = 1;  // bytes to the same channel of the next pixel
    uint8_t threshold = 0;
};

// Replaces the hot sample at (i, x) by the average of the cool samples of its channel in the
// 5 x 5 block around it. Only cool samples are read and only hot ones written, so the result
// does not depend on the order in which hot samples are visited.
void RepairSample(uint8_t* frame, const uint8_t* dark, const RepairGeometry& g, ptrdiff_t i,
                  ptrdiff_t x) {
    const ptrdiff_t firstRow = std::max<ptrdiff_t>(i - 2, 0);
    const ptrdiff_t lastRow = std::min<ptrdiff_t>(i + 2, g.rows - 1);
    // Columns of the same channel inside the row: never wrapped onto a neighbouring row.
    const ptrdiff_t firstCol = x - std::min<ptrdiff_t>(2, x / g.step) * g.step;
    const ptrdiff_t lastCol = x + std::min<ptrdiff_t>(2, (g.rowBytes - 1 - x) / g.step) * g.step;
    int32_t sum = 0, count = 0;
    for (ptrdiff_t k = firstRow; k <= lastRow; ++k) {
        const uint8_t* d = dark + k * g.rowBytes;
        const uint8_t* f = frame + k * g.rowBytes;
        for (ptrdiff_t m = firstCol; m <= lastCol; m += g.step) {
            // Without a branch: whether a neighbour is cool is as good as random.
            const int32_t cool = d[m] < g.threshold;
            sum += f[m] & -cool;
            count += cool;
        }
    }
    if (count > 0) frame[i * g.rowBytes + x] = uint8_t(sum / count);
}

void RepairHotSamples(uint8_t* frame, const uint8_t* dark, const RepairGeometry& g) {
    for (ptrdiff_t i = 0; i < g.rows; ++i) {
        const uint8_t* d = dark + i * g.rowBytes;
        ptrdiff_t x = 0;
        for (; x + ptrdiff_t(kBlock) <= g.rowBytes; x += ptrdiff_t(kBlock)) {
            if (BlockMax(d + x) < g.threshold) continue;
            for (ptrdiff_t k = x; k < x + ptrdiff_t(kBlock); ++k)
                if (d[k] >= g.threshold) RepairSample(frame, dark, g, i, k);
        }
        for (; x < g.rowBytes; ++x)
            if (d[x] >= g.threshold) RepairSample(frame, dark, g, i, x);
    }
}

void ReleaseDark(Image& dark) {
    dark.width = -1;
    dark.height = -1;
    std::vector<uint8_t>().swap(dark.pixels);
}

}  // namespace

void ApplyDarkFrame(Image& frame, Image& dark, const Settings& settings, Failure& failure) {
    failure.clear();
    if (dark.width < 0 || dark.height < 0) return;
    // A channel count that differs, or a buffer not of its stated size, counts as a size
    // mismatch, so that nothing can be read outside either buffer.
    if (dark.width != frame.width || dark.height != frame.height ||
        dark.channels != frame.channels || !dark.consistent() || !frame.consistent()) {
        failure.message = kDarkSizeMismatch;
        failure.file = settings.DarkFrame;
        failure.reason = "the dark frame is " + std::to_string(dark.width) + "x" +
                         std::to_string(dark.height) + ", the video's frames " +
                         std::to_string(frame.width) + "x" + std::to_string(frame.height);
        ReleaseDark(dark);
        return;
    }
    const size_t samples = frame.pixels.size();
    if (samples == 0) return;
    if (settings.SubDark) SubtractDark(frame.pixels.data(), dark.pixels.data(), samples);

    // Below 1 every sample is hot and none cool, above 255 none is hot: nothing would change.
    if (!settings.Hot || settings.HotThreshold < 1 || settings.HotThreshold > 255) return;
    RepairGeometry g;
    g.rows = frame.height;
    g.step = frame.channels;
    g.rowBytes = ptrdiff_t(frame.width) * g.step;
    g.threshold = uint8_t(settings.HotThreshold);
    RepairHotSamples(frame.pixels.data(), dark.pixels.data(), g);
}

}  // namespace kestrel
