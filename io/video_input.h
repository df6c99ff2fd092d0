// One input video, AVI or SER (told apart by their first bytes), decoded picture by picture
// into 24-bit rows. The frame source reads the run's input through one; the dark-frame loader
// averages a dark video through another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "io/avi_reader.h"
#include "io/decode.h"
#include "io/ffmpeg_decode.h"
#include "io/raw_samples.h"
#include "io/ser_reader.h"

namespace kestrel {

// What the user may say about inputs whose headers do not tell, or lie.
struct InputOptions {
    // Unset: the pattern the SER ColorID or the AVI FourCC names. A pattern: grey 8-bit
    // streams and mono SER files are that mosaic. None: mosaics stay grey samples.
    std::optional<Bayer> bayer{};
    ByteOrder byteOrder = ByteOrder::Auto;  // of 16-bit SER samples
    int32_t bitDepth = 0;                   // SER sample depth, 0: the header's
    uint32_t fpsRate = 0;                   // the frame rate, rate / scale; 0: the input's
    uint32_t fpsScale = 0;
};

// What a file is, by its first bytes: a RIFF file (AVI), a SER file, or neither.
enum class Container { Avi, Ser, Other };
Container ContainerOf(const std::string& path);

class VideoInput {
public:
    // Opens `path`; false with `reason` (the system's, or the parser's) when it cannot be read.
    bool open(const std::string& path, const InputOptions& options, std::string& reason);
    void close();

    // Decodes the picture at `position` (0, 1, 2, ..., never backwards) into `rows`: 24-bit,
    // blue, green, red, top row first, Stride24(width) bytes each. False when there is none.
    bool decode(size_t position, std::vector<uint8_t>& rows, int32_t& width, int32_t& height);

    // Filled when the input opens: from strh and strn, or made for a SER file.
    const AviStreamInfo& streamInfo() const { return info_; }
    // The SER header and timestamps, for a SER output that keeps them; null for an AVI input.
    const SerHeader* serHeader() const { return ser_ ? &serReader_.header() : nullptr; }
    const std::vector<int64_t>& timestamps() const { return serReader_.timestamps(); }

private:
    bool openAvi(const std::string& path, const InputOptions& options, std::string& reason);
    bool openSer(const std::string& path, const InputOptions& options, std::string& reason);
    bool decodeAvi(size_t position);
    bool decodeWithFfmpeg();
    bool decodeSer(size_t position, std::vector<uint8_t>& rows);
    bool holdsAWholePicture() const;

    AviStreamInfo info_{};
    bool ser_ = false;
    Bayer bayer_ = Bayer::None;
    Demosaic demosaic_;

    AviReader reader_;
    DibDecoder decoder_;
    // Streams that DibDecoder does not read and FFmpeg decodes: compressed and YUV pictures.
    FfmpegDecoder ffmpeg_;
    bool useFfmpeg_ = false;
    size_t nextChunk_ = 0;  // the next chunk for ffmpeg_
    size_t nextPaletteChange_ = 0;
    std::vector<uint8_t> paletteChange_;

    SerReader serReader_;
    ByteOrder byteOrder_ = ByteOrder::Auto;
    std::vector<uint8_t> raw_;      // one SER frame as stored
    std::vector<uint8_t> samples_;  // its samples at 8 bits
};

}  // namespace kestrel
