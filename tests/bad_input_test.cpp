// A catalogue of bad inputs: every cut and a few thousand seeded damaged copies of small valid
// files of each kind the program reads (AVI, BMP, INI). Each must end in one of the system's own
// messages or a clean end of input. Under the sanitizer run this is what finds reads outside a
// buffer; here it checks what the user would see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "run/batch.h"
#include "corrections/dark.h"
#include "io/avi_reader.h"
#include "io/bitmap.h"
#include "base/byte_cursor.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings_file.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Bmp;
using test::TestAvi;
using test::TestIndex;
using test::VideoFormat;
using test::VideoStream;

// The texts the system has for bad inputs (io/frame_source.cpp, io/bitmap.cpp,
// corrections/dark.h). Anything else reaching the user is a fault.
const std::set<std::string> kKnownMessages = {"Can't open AVI input file",
                                              "Can't open dark frame", kDarkSizeMismatch};

// One run in this many also goes through the whole batch run, output written, so that its
// messages are also seen as the windowing layer shows them.
constexpr size_t kBatchEvery = 250;

struct Sample {
    std::string name;
    Bytes bytes;
    size_t flips;  // damaged copies besides the cuts
};

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One damaged copy: a byte set at random, or a 32-bit field anywhere (or at a multiple of 4,
// where most header fields are) set to a boundary value of sizes and counts; now and then two.
Bytes Damage(const Bytes& good, std::mt19937& rng) {
    Bytes b = good;
    const uint32_t size = uint32_t(good.size());
    const uint32_t boundary[] = {0,        1,        2,         0x7FFFFFFF, 0x80000000,
                                 0xFFFFFFFF, 0xFFFFFFF0, size - 8, size - 1,  size,
                                 size + 1, size * 2, 0x10000,   0x40000000};
    const int changes = rng() % 4 == 0 ? 2 : 1;
    for (int c = 0; c < changes; ++c) {
        switch (rng() % 3) {
            case 0: b[rng() % size] = uint8_t(rng()); break;
            case 1: PatchU32(b, rng() % (size - 3), boundary[rng() % std::size(boundary)]); break;
            default:
                PatchU32(b, (rng() % (size / 4)) * 4, boundary[rng() % std::size(boundary)]);
                break;
        }
    }
    return b;
}

// Text files are damaged where their structure is: line ends, brackets, equals signs, NULs.
Bytes DamageText(const Bytes& good, std::mt19937& rng) {
    static const char kSyntax[] = {'\n', '\r', '[', ']', '=', ';', '\0', ' ', '"', '\xFF'};
    Bytes b = good;
    const int changes = 1 + int(rng() % 3);
    for (int c = 0; c < changes; ++c) {
        const size_t at = rng() % b.size();
        const uint8_t v = rng() % 2 ? uint8_t(kSyntax[rng() % std::size(kSyntax)]) : uint8_t(rng());
        switch (rng() % 3) {
            case 0: b[at] = v; break;
            case 1: b.insert(b.begin() + std::ptrdiff_t(at), v); break;
            default: b.erase(b.begin() + std::ptrdiff_t(at)); break;
        }
        if (b.empty()) b.push_back('x');
    }
    return b;
}

// Calls `use` with every cut of `good` (0 .. size-1 bytes) and `flips` damaged copies; returns
// how many it made.
template <class Use, class Damager>
size_t ForEachBadCopy(const Sample& s, uint32_t seed, Damager damage, Use use) {
    size_t made = 0;
    for (size_t n = 0; n < s.bytes.size(); ++n, ++made) {
        SCOPED_TRACE(testing::Message() << s.name << " cut at " << n);
        use(Bytes(s.bytes.begin(), s.bytes.begin() + std::ptrdiff_t(n)), made);
    }
    std::mt19937 rng(seed);
    for (size_t k = 0; k < s.flips; ++k, ++made) {
        SCOPED_TRACE(testing::Message() << s.name << " damaged copy " << k);
        use(damage(s.bytes, rng), made);
    }
    return made;
}

void Report(const char* kind, size_t tried) {
    testing::Test::RecordProperty(std::string(kind) + "_bad_inputs", int(tried));
    std::printf("[   INFO   ] %s: %zu bad inputs tried\n", kind, tried);
}

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseInputVideo();
        savedDark_ = DarkImage();
        savedSettings_ = AppSettings();
    }
    void TearDown() override {
        CloseInputVideo();
        DarkImage() = savedDark_;
        AppSettings() = savedSettings_;
    }

    // Messages seen, with how often each came.
    void Note(const std::string& message) {
        if (message.empty()) return;
        EXPECT_TRUE(kKnownMessages.count(message)) << "unknown message: " << message;
        ++messages_[message];
    }

    // The whole batch run on the current AppSettings; every box it shows must be the run's
    // overwrite question or one of the known failures.
    void RunAndCheckBoxes() {
        test::ScriptedWindowing w;
        RunBatch(w);
        for (const std::string& line : w.log) {
            if (!line.starts_with("box ") || line.starts_with("box Confirm Overwrite: ")) continue;
            const std::string prefix = "box Error: ", suffix = " [none]";
            ASSERT_TRUE(line.starts_with(prefix) && line.ends_with(suffix)) << line;
            Note(line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()));
        }
    }

    test::TempDir dir_;
    std::map<std::string, size_t> messages_;
    Image savedDark_;
    Settings savedSettings_;
};

// ---- AVI ----

const uint32_t k00db = FourCC("00db");

Bytes Ramp(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + 37 * i);
    return b;
}

Bytes Table(size_t entries) {
    Bytes t;
    for (size_t i = 0; i < entries; ++i)
        t.insert(t.end(), {uint8_t(40 * i), uint8_t(255 - 30 * i), uint8_t(90 + 11 * i), 0});
    return t;
}

std::vector<Sample> BuiltAvis() {
    std::vector<Sample> out;
    {
        // 8-bit palette, a palette change, an audio stream before it, idx1 from movi.
        TestAvi avi;
        avi.streams = {test::AudioStream(),
                       VideoStream(VideoFormat(4, 3, 8, kBiRgb, 6, Table(6)), "palette")};
        avi.chunks = {{FourCC("01db"), Ramp(12, 1)},
                      {FourCC("01pc"), {1, 2, 0, 0, 9, 8, 7, 0, 6, 5, 4, 0}},
                      {FourCC("00wb"), {1, 2, 3}},
                      {FourCC("01db"), Ramp(12, 2)},
                      {FourCC("01db"), {}}};
        out.push_back({"BI_RGB 8", test::BuildAvi(avi).bytes, 2000});
    }
    {
        // 24 bits in rec lists, JUNK everywhere, no index: found by walking.
        TestAvi avi;
        avi.streams = {VideoStream(VideoFormat(5, -3, 24))};
        for (uint8_t n = 0; n < 3; ++n) avi.chunks.push_back({k00db, Ramp(16 * 3, n)});
        avi.index = TestIndex::None;
        avi.junk = true;
        avi.recGroup = 2;
        out.push_back({"BI_RGB 24", test::BuildAvi(avi).bytes, 2000});
    }
    {
        TestAvi avi;
        avi.streams = {VideoStream(VideoFormat(6, 4, 8, FourCC("Y800")))};
        for (uint8_t n = 0; n < 3; ++n) avi.chunks.push_back({FourCC("00dc"), Ramp(24, n)});
        avi.index = TestIndex::Absolute;
        out.push_back({"Y800", test::BuildAvi(avi).bytes, 2000});
    }
    {
        TestAvi avi;
        avi.streams = {VideoStream(
            VideoFormat(3, 2, 16, kBiBitfields, 0, [] {
                Bytes m;
                for (uint32_t v : {0xF800u, 0x07E0u, 0x001Fu}) PutU32(m, v);
                return m;
            }()))};
        for (uint8_t n = 0; n < 2; ++n) avi.chunks.push_back({k00db, Ramp(16, n)});
        out.push_back({"BI_BITFIELDS 16", test::BuildAvi(avi).bytes, 1000});
    }
    {
        // OpenDML: standard indexes in each movi list, their super index, an AVIX segment.
        TestAvi avi;
        avi.streams = {VideoStream(VideoFormat(2, 2, 24))};
        avi.chunks = {{k00db, Ramp(16, 1)}, {k00db, Ramp(16, 2)}};
        avi.extensions = {{{k00db, Ramp(16, 3)}, {FourCC("JUNK"), Bytes(3, 0)}, {k00db, {}}}};
        avi.stdIndexId = FourCC("ix00");
        out.push_back({"OpenDML ix00", test::BuildAvi(avi).bytes, 2000});
    }
    return out;
}

class BadAviTest : public BadInputTest {
protected:
    // Reads every frame of `bytes` as the run does; the count of frames.
    size_t ReadAll(const Bytes& bytes, bool colour) {
        const std::string path = dir_.file("in.avi");
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        // The picture the headers announce, when the file opens at all.
        // 64 bits: a damaged height may be -2^31, whose magnitude no int32_t holds.
        int64_t width = -1, height = -1;
        AviReader reader;
        if (reader.open(path) == AviReadStatus::Ok) {
            const uint8_t* f = reader.format().data();
            width = int32_t(Le32(f + 4));
            height = std::llabs(int64_t(int32_t(Le32(f + 8))));
        }
        reader.close();

        Settings s;
        s.InputFile = path;
        s.Colour = colour;
        Failure failure;
        size_t frames = 0;
        // Each picture is a chunk of at least its 8-byte header, or an index entry.
        const size_t most = bytes.size() / 8;
        while (ReadNextFrame(s, failure)) {
            const Image& frame = ImageBuffer();
            EXPECT_TRUE(frame.consistent());
            EXPECT_EQ(std::make_tuple(int64_t(frame.width), int64_t(frame.height), frame.channels),
                      std::make_tuple(width, height, colour ? 3 : 1));
            if (++frames > most) {
                ADD_FAILURE() << frames << " frames from " << bytes.size() << " bytes";
                break;
            }
        }
        EXPECT_TRUE(!failure || frames == 0) << failure.message;
        Note(failure.message);
        CloseInputVideo();
        return frames;
    }

    void Catalogue(std::vector<Sample> samples, const char* kind) {
        size_t tried = 0;
        uint32_t seed = 1;
        for (const Sample& s : samples) {
            SCOPED_TRACE(s.name);
            ASSERT_GT(ReadAll(s.bytes, true), 0u) << "the sample itself is not read";
            tried += ForEachBadCopy(s, seed++, Damage, [&](const Bytes& bad, size_t k) {
                ReadAll(bad, k % 2 == 0);
                if (k % kBatchEvery == kBatchEvery / 2) {
                    Settings& app = AppSettings();
                    app = Settings{};
                    app.InputFile = dir_.file("in.avi");
                    app.OutputFile = dir_.file("out.avi");
                    app.Colour = k % 4 == 1;
                    RunAndCheckBoxes();
                }
            });
        }
        Report(kind, tried);
        for (const auto& [text, count] : messages_) std::printf("[   INFO   ]   %zu x %s\n", count, text.c_str());
    }
};

TEST_F(BadAviTest, BuiltFilesEndInTheMessageOrACleanEnd) {
    Catalogue(BuiltAvis(), "AVI (built)");
}

// Files of our own writer, of kestrel-synth and, where it is installed, of ffmpeg (through
// FFmpeg's decoders: MJPG and YUY2).
TEST_F(BadAviTest, WrittenFilesEndInTheMessageOrACleanEnd) {
    std::vector<Sample> samples;
    const std::string own = dir_.file("own.avi");
    ASSERT_TRUE(test::WriteTestVideo(own, 3, 2, 3));
    samples.push_back({"AviWriter 24", test::ReadFileBytes(own), 0});
    for (const char* format : {"pal8", "y800"}) {
        const std::string path = dir_.file(std::string("synth-") + format + ".avi");
        const auto r = test::RunCommand(test::ShellQuote(KESTREL_SYNTH_PATH) +
                                        " --width 5 --height 3 --frames 2 --no-dark --format " +
                                        format + " --output " + test::ShellQuote(path) + " 2>&1");
        ASSERT_EQ(r.status, 0) << r.output;
        samples.push_back({std::string("kestrel-synth ") + format, test::ReadFileBytes(path), 0});
    }
    if (test::HaveFfmpeg()) {
        const struct {
            const char* name;
            const char* encode;
        } videos[] = {{"ffmpeg MJPG", "-c:v mjpeg -pix_fmt yuvj420p"},
                      {"ffmpeg YUY2", "-c:v rawvideo -pix_fmt yuyv422"}};
        for (const auto& v : videos) {
            const std::string path = dir_.file(std::string(v.name).substr(7) + ".avi");
            const auto r = test::MakeFfmpegVideo(path, "size=8x4:rate=5:duration=0.6", v.encode);
            ASSERT_EQ(r.status, 0) << r.output;
            samples.push_back({v.name, test::ReadFileBytes(path), 0});
        }
    } else {
        std::printf("[   INFO   ] ffmpeg is not installed: no ffmpeg-written files\n");
    }
    // Larger files get fewer damaged copies, to keep the time of the test in bounds.
    for (Sample& s : samples) s.flips = std::clamp<size_t>(4'000'000 / (s.bytes.size() * 8), 200, 2000);
    Catalogue(samples, "AVI (written)");
}

// ---- BMP ----

class BadBmpTest : public BadInputTest {
protected:
    // Loads `bytes` as the dark frame in grey or colour and subtracts it from a frame of the
    // sample's size, as the run would.
    std::string Load(const Bytes& bytes, bool colour, int32_t width, int32_t height) {
        const std::string path = dir_.file("dark.bmp");
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        Settings s;
        s.DarkFrame = path;
        s.Colour = colour;
        s.SubDark = s.Hot = 1;
        DarkImage() = Image{-1, -1, 1, {}};
        Failure failure;
        if (LoadDarkFrame(s, failure)) {
            const Image& dark = DarkImage();
            EXPECT_TRUE(dark.consistent());
            EXPECT_GT(dark.width, 0);
            EXPECT_GT(dark.height, 0);
            EXPECT_EQ(dark.channels, colour ? 3 : 1);
            // At least one bit per pixel must be in the file.
            EXPECT_LE(uint64_t(dark.width) * uint64_t(dark.height), 8 * uint64_t(bytes.size()));
            const int channels = colour ? 3 : 1;
            Image frame{width, height, channels,
                        Bytes(size_t(width) * size_t(height) * size_t(channels), 120)};
            ApplyDarkFrame(frame, DarkImage(), s, failure);
            EXPECT_TRUE(frame.consistent());
        }
        Note(failure.message);
        return failure.message;
    }
};

TEST_F(BadBmpTest, DamagedDarkFramesEndInTheMessageOrLoad) {
    std::mt19937 rng(11);
    auto pixels = [&](size_t n, uint32_t values) {
        std::vector<uint32_t> v(n);
        for (auto& p : v) p = values ? rng() % values : rng();
        return v;
    };
    auto table = [&](size_t n) {
        std::vector<uint32_t> t(n);
        for (auto& e : t) e = rng() & 0xFFFFFF;
        return t;
    };
    const struct {
        const char* name;
        Bmp bmp;
    } files[] = {
        {"8-bit palette", Bmp(5, 3, 8).Used(7).Table(table(7)).Pixels(pixels(15, 9))},
        {"24-bit", Bmp(4, -3, 24).Pixels(pixels(12, 0x1000000))},
        {"32-bit bitfields",
         Bmp(3, 2, 32).Compress(kBiBitfields).Masks({0xFF0000, 0xFF00, 0xFF}).Pixels(pixels(6, 0))},
        {"32-bit V5 bitfields", Bmp(3, 2, 32)
                                    .Info(124)
                                    .Compress(kBiBitfields)
                                    .Masks({0x3FF00000, 0xFFC00, 0x3FF})
                                    .Pixels(pixels(6, 0))},
        {"1-bit", Bmp(11, 3, 1).Table(table(2)).Pixels(pixels(33, 2))},
        {"16-bit 5-6-5", Bmp(3, 3, 16).Compress(kBiBitfields).Masks({0xF800, 0x07E0, 0x001F}).Pixels(pixels(9, 0x10000))},
    };
    std::vector<std::tuple<Sample, int32_t, int32_t>> samples;
    for (const auto& f : files)
        samples.push_back({{f.name, test::BuildBmp(f.bmp), 1500}, f.bmp.width, std::abs(f.bmp.height)});
    // kestrel-synth's dark frame, from its own writer.
    const auto r = test::RunCommand("cd " + test::ShellQuote(dir_.path()) + " && " +
                                    test::ShellQuote(KESTREL_SYNTH_PATH) +
                                    " --width 6 --height 4 --frames 1 --output s.avi --dark s.bmp 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    samples.push_back({{"kestrel-synth 24-bit", test::ReadFileBytes(dir_.file("s.bmp")), 1500}, 6, 4});

    size_t tried = 0;
    uint32_t seed = 100;
    for (const auto& [s, width, height] : samples) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(Load(s.bytes, true, width, height), "") << "the sample itself is not loaded";
        tried += ForEachBadCopy(s, seed++, Damage, [&](const Bytes& bad, size_t k) {
            Load(bad, false, width, height);
            Load(bad, true, width, height);
            if (k % kBatchEvery == kBatchEvery / 2) {
                // The whole run on an input of the sample's size.
                const std::string input = dir_.file("input.avi");
                ASSERT_TRUE(test::WriteTestVideo(input, width, height, 1));
                Settings& app = AppSettings();
                app = Settings{};
                app.InputFile = input;
                app.OutputFile = dir_.file("out.avi");
                app.DarkFrame = dir_.file("dark.bmp");
                app.SubDark = app.Hot = 1;
                app.Colour = k % 4 == 1;
                RunAndCheckBoxes();
            }
        });
    }
    Report("BMP", tried);
    for (const auto& [text, count] : messages_) std::printf("[   INFO   ]   %zu x %s\n", count, text.c_str());
}

// ---- INI ----

std::tuple<std::string, std::string, std::string, int, int, int, int, int, int, int32_t, int32_t,
           int32_t, int32_t, int32_t, int32_t>
Fields(const Settings& s) {
    return {s.InputFile,  s.OutputFile,   s.DarkFrame,   s.SubDark, s.Hot,
            s.Horiz,      s.Vert,         s.Stretch,     s.Colour,  s.HotThreshold,
            s.StretchLow, s.StretchHigh,  s.Border,      s.GradSmooth, s.NoiseLevel};
}

TEST_F(BadInputTest, DamagedSettingsFilesLoadSaveAndReloadAlike) {
    const std::string path = dir_.file("Kestrel.ini");
    Settings written;
    written.InputFile = "/sky/night one.avi";
    written.OutputFile = "/sky/out.avi";
    written.DarkFrame = "/sky/dark.bmp";
    written.SubDark = written.Hot = written.Colour = 1;
    written.HotThreshold = 180;
    written.StretchHigh = 99;
    ASSERT_TRUE(SaveSettings(path, written));
    const std::string handMade =
        "; by hand\r\n[Other]\r\nKey=Value\r\n\r\n[Filenames]\r\nInputFile = C:\\in.avi \r\n"
        "OutputFile=\"quoted\"\r\n[Flags]\r\nSubDark=1\r\nHot=0x10\r\nVert=-1\r\n"
        "[Values]\r\nHotThreshold=  250\r\nBorder=2147483648\r\nNoiseLevel=12abc\r\n[Tail]\r\nx";
    const Bytes hand(handMade.begin(), handMade.end());
    const std::vector<Sample> samples = {{"saved", test::ReadFileBytes(path), 2000},
                                         {"by hand", hand, 2000}};

    size_t tried = 0;
    uint32_t seed = 200;
    for (const Sample& s : samples) {
        tried += ForEachBadCopy(s, seed++, DamageText, [&](const Bytes& bad, size_t) {
            ASSERT_TRUE(test::WriteFileBytes(path, bad));
            Settings loaded;
            LoadSettings(path, loaded);
            ASSERT_TRUE(SaveSettings(path, loaded));
            Settings again;
            LoadSettings(path, again);
            EXPECT_EQ(Fields(again), Fields(loaded));
        });
    }
    Report("INI", tried);
}

}  // namespace
}  // namespace kestrel
