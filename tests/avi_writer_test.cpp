#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/avi_format.h"
#include "io/avi_writer.h"
#include "io/image.h"
#include "support/riff_walk.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::AviLayout;
using test::Fcc;
using test::LoadU16;
using test::LoadU32;
using test::ReadAviLayout;
using test::ReadWholeFile;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrel-writer-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename().string());
        return out;
    }

private:
    std::string path_;
};

std::vector<uint8_t> Format(int32_t width, int32_t height, uint16_t bits, uint32_t compression = kBiRgb,
                            uint32_t colours = 0) {
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = bits;
    h.biCompression = compression;
    h.biClrUsed = colours;
    if (width > 0 && height != 0)
        h.biSizeImage = uint32_t(DibStride(uint32_t(width), bits) * uint32_t(height < 0 ? -height : height));
    std::vector<uint8_t> out;
    AppendBitmapInfoHeader(out, h);
    return out;
}

AviStreamInfo Info(uint32_t scale, uint32_t rate, const char* name) {
    AviStreamInfo s;
    s.fccType = kFccVids;
    s.fccHandler = FourCC("DIB ");
    s.dwFlags = 0;
    s.wPriority = 3;
    s.wLanguage = 9;
    s.dwScale = scale;
    s.dwRate = rate;
    s.dwStart = 0;
    s.dwLength = 12345;              // set from the chunks written
    s.dwSuggestedBufferSize = 99999;  // likewise
    s.dwQuality = 7500;
    s.dwSampleSize = 9;  // video is one chunk per frame: written as 0
    s.rcFrameLeft = 0;
    s.rcFrameTop = 0;
    s.rcFrameRight = 5;
    s.rcFrameBottom = 3;
    std::snprintf(s.szName, sizeof(s.szName), "%s", name);
    return s;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> b = ReadWholeFile(path);
    return std::string(b.begin(), b.end());
}

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string RunAndCapture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string Probe(const std::string& path, const std::string& entries) {
    return RunAndCapture("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=" +
                         entries + " -of default=noprint_wrappers=1:nokey=1 '" + path + "'");
}

// Each chunk carries its number in every byte, so a misplaced chunk shows.
std::vector<uint8_t> Chunk(size_t size, uint8_t tag) { return std::vector<uint8_t>(size, tag); }

TEST(AviWriter, FileStructureHeadersPaddingAndIndex) {
    TempDir dir;
    const std::string path = dir.file("out.avi");
    // An odd strf (a header with one extra byte), an odd strn ("ab" and its terminator) and odd
    // chunks: every one needs its pad byte.
    std::vector<uint8_t> format = Format(5, -3, 24);
    format.push_back(0xEE);
    AviStreamInfo info = Info(1001, 30000, "ab");
    info.dwStart = 2;

    AviWriter w;
    ASSERT_EQ(w.create(path, info, format, FourCC("00db")), AviWriteStatus::Ok);
    const size_t sizes[] = {5, 6, 7};
    for (size_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> c = Chunk(sizes[i], uint8_t(i + 1));
        ASSERT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::Ok);
    }
    EXPECT_EQ(w.chunksWritten(), 3u);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_FALSE(w.isOpen());

    std::vector<uint8_t> b = ReadWholeFile(path);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;

    ASSERT_EQ(avi.avih.size, 56u);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 0), 33366u);  // 1000000 x 1001 / 30000
    EXPECT_EQ(LoadU32(b, avi.avih.data + 4), 209u);    // 7 bytes at 30000/1001 frames a second
    EXPECT_EQ(LoadU32(b, avi.avih.data + 12), kAvifHasIndex | kAvifTrustCkType);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 16), 3u);  // total frames
    EXPECT_EQ(LoadU32(b, avi.avih.data + 24), 1u);  // streams
    EXPECT_EQ(LoadU32(b, avi.avih.data + 28), 7u);  // suggested buffer: the largest chunk
    EXPECT_EQ(LoadU32(b, avi.avih.data + 32), 5u);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 36), 3u);  // height without its sign

    ASSERT_EQ(avi.strh.size, kStrhSize);
    AviStreamInfo strh;
    ASSERT_TRUE(ParseStreamHeader(b.data() + avi.strh.data, avi.strh.size, strh));
    EXPECT_EQ(strh.fccType, kFccVids);
    EXPECT_EQ(strh.fccHandler, FourCC("DIB "));
    EXPECT_EQ(strh.wPriority, 3);
    EXPECT_EQ(strh.wLanguage, 9);
    EXPECT_EQ(strh.dwScale, 1001u);
    EXPECT_EQ(strh.dwRate, 30000u);
    EXPECT_EQ(strh.dwStart, 2u);
    EXPECT_EQ(strh.dwLength, 3u);
    EXPECT_EQ(strh.dwSuggestedBufferSize, 7u);
    EXPECT_EQ(strh.dwQuality, 7500u);
    EXPECT_EQ(strh.dwSampleSize, 0u);
    EXPECT_EQ(strh.rcFrameRight, 5);
    EXPECT_EQ(strh.rcFrameBottom, 3);

    ASSERT_EQ(avi.strf.size, format.size());
    EXPECT_TRUE(std::equal(format.begin(), format.end(), b.begin() + long(avi.strf.data)));
    ASSERT_TRUE(avi.strn.present);
    ASSERT_EQ(avi.strn.size, 3u);
    EXPECT_EQ(std::memcmp(b.data() + avi.strn.data, "ab", 3), 0);

    ASSERT_EQ(avi.frames.size(), 3u);
    ASSERT_EQ(avi.index.size(), 3u);
    EXPECT_EQ(avi.index[0].offset, 4u);  // the first chunk follows the 'movi' type at once
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(avi.frames[i].id, FourCC("00db"));
        EXPECT_EQ(avi.frames[i].size, sizes[i]);
        EXPECT_EQ(avi.index[i].flags, kAviifKeyframe);
        for (size_t k = 0; k < sizes[i]; ++k) ASSERT_EQ(b[avi.frames[i].data + k], i + 1);
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.avi"});
}

TEST(AviWriter, EmptyNameZeroRateAndNoFrames) {
    TempDir dir;
    const std::string path = dir.file("empty.avi");
    AviWriter w;
    ASSERT_EQ(w.create(path, Info(0, 0, ""), Format(2, 2, 24), FourCC("00db")), AviWriteStatus::Ok);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

    std::vector<uint8_t> b = ReadWholeFile(path);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    EXPECT_FALSE(avi.strn.present);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 0), 0u);  // no rate: no frame time, not a division by 0
    EXPECT_EQ(LoadU32(b, avi.avih.data + 4), 0u);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 16), 0u);
    EXPECT_TRUE(avi.frames.empty());
    ASSERT_TRUE(avi.idx1.present);
    EXPECT_EQ(avi.idx1.size, 0u);
}

TEST(AviWriter, ExistingFileIsReplacedOnlyByACompleteOne) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    WriteText(path, "old contents");

    AviWriter w;
    ASSERT_EQ(w.create(path, Info(1, 25, ""), Format(2, 2, 24), FourCC("00db")), AviWriteStatus::Ok);
    std::vector<uint8_t> c = Chunk(16, 1);
    ASSERT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::Ok);

    // Until it is finished the new file lives under a hidden name beside the target.
    const fs::path temp(w.temporaryPath());
    EXPECT_EQ(temp.parent_path(), fs::path(path).parent_path());
    const std::string tempName = temp.filename().string();
    EXPECT_EQ(tempName.rfind(".movie.avi.", 0), 0u) << tempName;
    EXPECT_EQ(temp.extension(), ".tmp");
    EXPECT_TRUE(fs::exists(temp));
    EXPECT_EQ(ReadText(path), "old contents");

    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"movie.avi"});
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(ReadWholeFile(path), avi, error)) << error;
    EXPECT_EQ(avi.frames.size(), 1u);
}

TEST(AviWriter, AbandonedFileLeavesTargetUntouched) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    WriteText(path, "old contents");
    std::vector<uint8_t> c = Chunk(16, 1);
    {
        AviWriter w;
        ASSERT_EQ(w.create(path, Info(1, 25, ""), Format(2, 2, 24), FourCC("00db")), AviWriteStatus::Ok);
        ASSERT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::Ok);
        w.abandon();
        EXPECT_FALSE(w.isOpen());
        EXPECT_EQ(w.finish(), AviWriteStatus::CannotWrite);  // nothing left to finish
        EXPECT_EQ(dir.names(), std::vector<std::string>{"movie.avi"});

        // A writer destroyed before finishing abandons its file as well.
        AviWriter other;
        ASSERT_EQ(other.create(path, Info(1, 25, ""), Format(2, 2, 24), FourCC("00db")),
                  AviWriteStatus::Ok);
        ASSERT_EQ(other.writeChunk(c.data(), c.size()), AviWriteStatus::Ok);
        EXPECT_EQ(dir.names().size(), 2u);
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"movie.avi"});
    EXPECT_EQ(ReadText(path), "old contents");
}

TEST(AviWriter, RefusedCreationLeavesNothingBehind) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    WriteText(path, "old contents");
    const AviStreamInfo info = Info(1, 25, "");
    AviWriter w;

    EXPECT_EQ(w.create(dir.file("missing/movie.avi"), info, Format(2, 2, 24), FourCC("00db")),
              AviWriteStatus::CannotCreate);
    fs::create_directory(dir.file("folder.avi"));
    EXPECT_EQ(w.create(dir.file("folder.avi"), info, Format(2, 2, 24), FourCC("00db")),
              AviWriteStatus::CannotCreate);
    fs::remove(dir.file("folder.avi"));

    std::vector<uint8_t> shortFormat = Format(2, 2, 24);
    shortFormat.resize(39);
    std::vector<uint8_t> longHeader = Format(2, 2, 24);
    longHeader[0] = 44;  // biSize claims more than the format holds
    const std::vector<std::vector<uint8_t>> refused = {
        shortFormat, longHeader, Format(0, 2, 24), Format(-4, 2, 24), Format(2, 0, 24),
        Format(2, 2, 0),
        Format(40000, 40000, 24),  // 4.8 GB a frame: no 32-bit chunk holds it
    };
    for (const std::vector<uint8_t>& format : refused) {
        EXPECT_EQ(w.create(path, info, format, FourCC("00db")), AviWriteStatus::BadFormat);
        EXPECT_FALSE(w.isOpen());
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"movie.avi"});
    EXPECT_EQ(ReadText(path), "old contents");
}

TEST(AviWriter, SizeLimitKeepsEveryWholeChunk) {
    TempDir dir;
    const AviStreamInfo info = Info(1, 25, "x");
    const std::vector<uint8_t> format = Format(4, 3, 24);
    uint64_t headers = 0;
    {
        AviWriter probe;
        ASSERT_EQ(probe.create(dir.file("probe.avi"), info, format, FourCC("00db")), AviWriteStatus::Ok);
        headers = probe.bytesWritten();
    }
    const std::vector<uint8_t> c = Chunk(35, 9);  // odd: its pad byte counts
    const uint64_t threeChunks = headers + 3 * (8 + 36) + 8 + 3 * 16;

    for (uint64_t limit : {threeChunks, threeChunks - 1}) {
        const uint32_t fit = limit == threeChunks ? 3 : 2;
        const std::string path = dir.file("limit" + std::to_string(fit) + ".avi");
        AviWriter w;
        w.setSizeLimitForTesting(limit);
        ASSERT_EQ(w.create(path, info, format, FourCC("00db")), AviWriteStatus::Ok);
        for (uint32_t i = 0; i < fit; ++i) ASSERT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::Ok);
        EXPECT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::SizeLimit);
        EXPECT_EQ(w.writeChunk(c.data(), c.size()), AviWriteStatus::SizeLimit);
        ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

        std::vector<uint8_t> b = ReadWholeFile(path);
        EXPECT_LE(b.size(), limit);
        if (fit == 3) {
            EXPECT_EQ(b.size(), limit);
        }
        AviLayout avi;
        std::string error;
        ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
        EXPECT_EQ(avi.frames.size(), fit);
        EXPECT_EQ(LoadU32(b, avi.avih.data + 16), fit);
    }

    // A file that cannot hold one frame of its format is refused at once.
    AviWriter tiny;
    tiny.setSizeLimitForTesting(headers + 8 + 4 * 3 * 3 + 8 + 16 - 1);
    EXPECT_EQ(tiny.create(dir.file("tiny.avi"), info, format, FourCC("00db")), AviWriteStatus::BadFormat);
    EXPECT_FALSE(fs::exists(dir.file("tiny.avi")));
}

// Runs the writer in a child whose file size is capped, as a full disk would stop it, and
// returns the child's exit code: the number of chunks it kept, or 100 and up on a wrong result.
int WriteUntilRefused(const std::string& path, uint64_t extraBytes, size_t chunkSize) {
    const AviStreamInfo info = Info(1, 10, "");
    const std::vector<uint8_t> format = Format(10, 10, 8, FourCC("Y800"));
    uint64_t headers = 0;
    {
        AviWriter probe;
        if (probe.create(path, info, format, FourCC("00dc")) != AviWriteStatus::Ok) return 100;
        headers = probe.bytesWritten();
    }
    const uint64_t cap = headers + 2 * (8 + chunkSize) + extraBytes;
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{rlim_t(cap), rlim_t(cap)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(101);
        AviWriter w;
        if (w.create(path, info, format, FourCC("00dc")) != AviWriteStatus::Ok) _exit(102);
        AviWriteStatus status = AviWriteStatus::Ok;
        for (uint8_t i = 1; i < 50 && status == AviWriteStatus::Ok; ++i) {
            std::vector<uint8_t> c = Chunk(chunkSize, i);
            status = w.writeChunk(c.data(), c.size());
        }
        if (status != AviWriteStatus::CannotWrite) _exit(103);
        const uint32_t kept = w.chunksWritten();
        if (w.finish() != AviWriteStatus::Ok) _exit(104);
        _exit(int(kept));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 105;
    return WEXITSTATUS(status);
}

TEST(AviWriter, RefusedWriteKeepsEarlierChunksAsAValidFile) {
    TempDir dir;
    struct Case {
        const char* name;
        uint64_t extra;  // room left after two chunks: enough for the index, or not
        bool indexed;
    };
    for (const Case& k : {Case{"indexed.avi", 500, true}, Case{"unindexed.avi", 20, false}}) {
        SCOPED_TRACE(k.name);
        const std::string path = dir.file(k.name);
        ASSERT_EQ(WriteUntilRefused(path, k.extra, 1000), 2);

        std::vector<uint8_t> b = ReadWholeFile(path);
        AviLayout avi;
        std::string error;
        ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
        ASSERT_EQ(avi.frames.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(avi.frames[i].size, 1000u);
            EXPECT_EQ(b[avi.frames[i].data], i + 1);
            EXPECT_EQ(b[avi.frames[i].data + 999], i + 1);
        }
        EXPECT_EQ(avi.idx1.present, k.indexed);
        EXPECT_EQ(LoadU32(b, avi.avih.data + 12) & kAvifHasIndex, k.indexed ? kAvifHasIndex : 0u);
        EXPECT_EQ(LoadU32(b, avi.avih.data + 16), 2u);
        AviStreamInfo strh;
        ASSERT_TRUE(ParseStreamHeader(b.data() + avi.strh.data, avi.strh.size, strh));
        EXPECT_EQ(strh.dwLength, 2u);
        if (HaveTool("ffprobe")) {
            EXPECT_EQ(Probe(path, "nb_read_frames"), "2");
        }
    }
    EXPECT_EQ(dir.names().size(), 2u);  // no temporary file left
}

TEST(AviWriter, FfmpegReadsBottomUpBgrFramesBack) {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    TempDir dir;
    const std::string path = dir.file("bgr.avi");
    const int32_t width = 5, height = 3;  // rows of 15 bytes stored in 16
    const uint32_t stride = Stride24(width);
    AviWriter w;
    ASSERT_EQ(w.create(path, Info(1, 25, "sky"), Format(width, height, 24), FourCC("00db")),
              AviWriteStatus::Ok);
    std::vector<uint8_t> expected;  // top-down, no fill bytes: what ffmpeg gives back
    for (int f = 0; f < 4; ++f) {
        std::vector<uint8_t> topDown(size_t(3 * width * height));
        for (size_t i = 0; i < topDown.size(); ++i) topDown[i] = uint8_t(f * 50 + i * 7);
        std::vector<uint8_t> chunk(stride * height, 0);
        for (int r = 0; r < height; ++r)
            std::memcpy(&chunk[(height - 1 - r) * stride], &topDown[size_t(r * 3 * width)], size_t(3 * width));
        ASSERT_EQ(w.writeChunk(chunk.data(), chunk.size()), AviWriteStatus::Ok);
        expected.insert(expected.end(), topDown.begin(), topDown.end());
    }
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

    EXPECT_EQ(Probe(path, "codec_name,pix_fmt,width,height,r_frame_rate,nb_read_frames"),
              "rawvideo\n5\n3\nbgr24\n25/1\n4");
    const std::string raw = dir.file("bgr.raw");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + path + "' -f rawvideo -pix_fmt bgr24 '" + raw + "'").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(raw), expected);
}

TEST(AviWriter, FfmpegReadsPaletteAndY800Files) {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg not installed";
    }
    TempDir dir;
    // 8-bit with a 4-entry colour table: the table travels in strf after the header.
    const std::string pal = dir.file("pal.avi");
    std::vector<uint8_t> format = Format(3, 2, 8, kBiRgb, 4);
    const uint8_t table[4][4] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};
    for (const auto& e : table) format.insert(format.end(), e, e + 4);
    AviWriter w;
    ASSERT_EQ(w.create(pal, Info(1, 5, ""), format, FourCC("00db")), AviWriteStatus::Ok);
    const uint8_t rows[8] = {2, 3, 0, 0, /* top row: */ 1, 2, 3, 0};  // bottom row first, stride 4
    ASSERT_EQ(w.writeChunk(rows, sizeof rows), AviWriteStatus::Ok);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_EQ(Probe(pal, "pix_fmt,nb_read_frames"), "pal8\n1");
    const std::string raw = dir.file("pal.raw");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + pal + "' -f rawvideo -pix_fmt bgr24 '" + raw + "'").c_str()), 0);
    const std::vector<uint8_t> bgr = {255, 0, 0, 0, 255, 0, 0, 0, 255,  // blue, green, red
                                      0, 255, 0, 0, 0, 255, 0, 0, 0};
    EXPECT_EQ(ReadWholeFile(raw), bgr);

    // Y800: one grey byte a pixel, rows unpadded and top row first.
    const std::string y800 = dir.file("y800.avi");
    BitmapInfoHeader h;
    h.biWidth = 3;
    h.biHeight = 2;
    h.biBitCount = 8;
    h.biCompression = FourCC("Y800");
    h.biSizeImage = 6;
    std::vector<uint8_t> yFormat;
    AppendBitmapInfoHeader(yFormat, h);
    ASSERT_EQ(w.create(y800, Info(1, 5, ""), yFormat, FourCC("00dc")), AviWriteStatus::Ok);
    const uint8_t grey[2][6] = {{10, 20, 30, 40, 50, 60}, {1, 2, 3, 4, 5, 6}};
    for (const auto& g : grey) ASSERT_EQ(w.writeChunk(g, 6), AviWriteStatus::Ok);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_EQ(Probe(y800, "pix_fmt,nb_read_frames"), "gray\n2");
    const std::string yRaw = dir.file("y800.raw");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + y800 + "' -f rawvideo -pix_fmt gray '" + yRaw + "'").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(yRaw), (std::vector<uint8_t>{10, 20, 30, 40, 50, 60, 1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace kestrel
