#include "io/avi_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "io/image.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel {

namespace {

constexpr uint32_t kChunkHeaderSize = 8;
constexpr uint32_t kListHeaderSize = 12;
constexpr uint32_t kIndexEntrySize = 16;
constexpr uint32_t kMainHeaderSize = 56;
constexpr uint32_t kTempAttempts = 32;
constexpr uint64_t kWritebackBytes = 32u << 20;

uint64_t Padded(uint64_t size) { return size + (size & 1); }

void PutChunkHeader(std::vector<uint8_t>& out, uint32_t id, uint32_t size) {
    PutU32(out, id);
    PutU32(out, size);
}

void PadToEven(std::vector<uint8_t>& out) {
    if (out.size() & 1) out.push_back(0);
}

uint32_t Clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

// ".NAME.XXXXXX.tmp" beside the target: hidden, and on the same file system, so the final
// rename cannot turn into a copy.
std::string TemporaryName(const std::filesystem::path& target, std::mt19937_64& random) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kLetters[random() % (sizeof(kLetters) - 1)];
    // Names near the system's limit get a short temporary name of their own.
    const std::string base = target.filename().string();
    std::string name = "." + (base.size() > 200 ? std::string("kestrel") : base) + "." + tag + ".tmp";
    return (target.parent_path() / name).string();
}

// Makes a completed rename survive a power cut; a failure here loses nothing already written.
void SyncDirectoryOf(const std::string& path) {
#if !defined(_WIN32)
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty()) dir = ".";
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    (void)path;
#endif
}

// Bytes of one picture in `format`, or 0 when the format does not tell (compressed data).
// False when the header cannot describe a picture at all.
bool PictureBytes(const std::vector<uint8_t>& format, int32_t& width, int32_t& height,
                  uint64_t& bytes) {
    if (format.size() < kBitmapInfoHeaderSize || format.size() > UINT32_MAX / 2) return false;
    ByteCursor in(format.data(), format.size());
    BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (in.failed() || h.biSize < kBitmapInfoHeaderSize || h.biSize > format.size()) return false;
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
    width = h.biWidth;
    height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    if (h.biCompression == kBiRgb || h.biCompression == kBiBitfields) {
        if (h.biBitCount == 0) return false;
        bytes = DibStride(uint64_t(width), h.biBitCount) * uint64_t(height);
    } else {
        bytes = h.biSizeImage;
    }
    return true;
}

}  // namespace

AviWriter::~AviWriter() { abandon(); }

AviWriteStatus AviWriter::create(const std::string& path, const AviStreamInfo& info,
                                 const std::vector<uint8_t>& format, uint32_t chunkId) {
    abandon();
    namespace fs = std::filesystem;
    fs::path target(path);
    std::error_code ec;
    if (target.filename().empty() || fs::is_directory(target, ec)) return AviWriteStatus::CannotCreate;

    static std::mt19937_64 random(
        uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
    for (uint32_t attempt = 0; attempt < kTempAttempts && !file_.isOpen(); ++attempt) {
        std::string candidate = TemporaryName(target, random);
        if (file_.open(candidate, File::Mode::CreateNew)) {
            tempPath_ = candidate;
        } else if (!fs::exists(candidate, ec)) {
            break;  // not a name clash: the directory is missing or not writable
        }
    }
    if (!file_.isOpen()) return AviWriteStatus::CannotCreate;

    path_ = path;
    info_ = info;
    format_ = format;
    chunkId_ = chunkId;
    index_.clear();
    largestChunk_ = 0;
    end_ = 0;
    writtenBack_ = 0;
    broken_ = false;

    uint64_t pictureBytes = 0;
    if (!PictureBytes(format_, width_, height_, pictureBytes)) {
        closeAndRemove();
        return AviWriteStatus::BadFormat;
    }
    std::vector<uint8_t> headers = headerBytes(0, true);
    moviListOffset_ = headers.size() - kListHeaderSize;
    end_ = headers.size();
    // A file that cannot hold even one picture and its index entry is refused at the start.
    uint64_t oneFrame = end_ + kChunkHeaderSize + Padded(pictureBytes) + kChunkHeaderSize +
                        kIndexEntrySize;
    if (oneFrame > sizeLimit()) {
        closeAndRemove();
        return AviWriteStatus::BadFormat;
    }
    if (!file_.write(headers.data(), headers.size()) || !file_.flush()) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }
    return AviWriteStatus::Ok;
}

std::vector<uint8_t> AviWriter::headerBytes(uint64_t fileEnd, bool hasIndex) const {
    const uint32_t frames = uint32_t(index_.size());

    AviMainHeader avih;
    if (info_.dwRate != 0)
        avih.dwMicroSecPerFrame = Clamp32(1000000ull * info_.dwScale / info_.dwRate);
    if (info_.dwScale != 0)
        avih.dwMaxBytesPerSec = Clamp32(uint64_t(largestChunk_) * info_.dwRate / info_.dwScale);
    avih.dwFlags = kAvifTrustCkType | (hasIndex ? kAvifHasIndex : 0);
    avih.dwTotalFrames = frames;
    avih.dwStreams = 1;
    avih.dwSuggestedBufferSize = largestChunk_;
    avih.dwWidth = uint32_t(width_);
    avih.dwHeight = uint32_t(height_);

    AviStreamInfo strh = info_;
    strh.dwLength = frames;
    strh.dwSuggestedBufferSize = largestChunk_;
    strh.dwSampleSize = 0;  // one chunk per frame

    const char* nameEnd = std::find(std::begin(info_.szName), std::end(info_.szName), '\0');
    const size_t nameLength = size_t(nameEnd - info_.szName);

    std::vector<uint8_t> out;
    out.reserve(512 + format_.size());
    PutChunkHeader(out, kFccRiff, 0);  // patched below
    PutU32(out, kFccAvi);
    const size_t hdrl = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccHdrl);
    PutChunkHeader(out, kFccAvih, kMainHeaderSize);
    AppendMainHeader(out, avih);
    const size_t strl = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccStrl);
    PutChunkHeader(out, kFccStrh, kStrhSize);
    AppendStreamHeader(out, strh);
    PutChunkHeader(out, kFccStrf, uint32_t(format_.size()));
    PutBytes(out, format_.data(), format_.size());
    PadToEven(out);
    if (nameLength > 0) {
        PutChunkHeader(out, kFccStrn, uint32_t(nameLength + 1));
        PutBytes(out, info_.szName, nameLength);
        PutU8(out, 0);
        PadToEven(out);
    }
    PatchU32(out, strl + 4, uint32_t(out.size() - strl - kChunkHeaderSize));
    PatchU32(out, hdrl + 4, uint32_t(out.size() - hdrl - kChunkHeaderSize));
    const size_t movi = out.size();
    PutChunkHeader(out, kFccList, 0);
    PutU32(out, kFccMovi);

    const uint64_t moviEnd = std::max<uint64_t>(movi + kListHeaderSize, end_);
    if (fileEnd < moviEnd) fileEnd = moviEnd;
    PatchU32(out, movi + 4, uint32_t(moviEnd - movi - kChunkHeaderSize));
    PatchU32(out, 4, uint32_t(fileEnd - kChunkHeaderSize));
    return out;
}

AviWriteStatus AviWriter::writeChunk(const uint8_t* data, size_t size, uint32_t flags) {
    if (!file_.isOpen() || broken_) return AviWriteStatus::CannotWrite;
    // The index entry is counted in, so that finish() always has room for the index.
    const uint64_t chunkEnd = end_ + kChunkHeaderSize + Padded(size);
    const uint64_t fileEnd =
        chunkEnd + kChunkHeaderSize + kIndexEntrySize * (uint64_t(index_.size()) + 1);
    if (size > UINT32_MAX || fileEnd > sizeLimit()) return AviWriteStatus::SizeLimit;

    uint8_t header[kChunkHeaderSize];
    for (int i = 0; i < 4; ++i) {
        header[i] = uint8_t(chunkId_ >> (8 * i));
        header[4 + i] = uint8_t(size >> (8 * i));
    }
    static const uint8_t kPad = 0;
    bool ok = file_.write(header, sizeof(header)) && file_.write(data, size) &&
              ((size & 1) == 0 || file_.write(&kPad, 1)) && file_.flush();
    if (!ok) {
        if (!cutBackToLastChunk()) broken_ = true;
        return AviWriteStatus::CannotWrite;
    }
    index_.push_back({chunkId_, flags, end_, uint32_t(size)});
    end_ = chunkEnd;
    // Hand the data to the disk as it comes, rather than all of it at the final sync.
    if (end_ - writtenBack_ >= kWritebackBytes) {
        file_.startWriteback(writtenBack_, end_ - writtenBack_);
        writtenBack_ = end_;
    }
    largestChunk_ = std::max(largestChunk_, uint32_t(size));
    return AviWriteStatus::Ok;
}

bool AviWriter::cutBackToLastChunk() {
    // The stream's buffer and position are unknown after a refused write; a fresh handle is not.
    file_.close();
    return file_.open(tempPath_, File::Mode::Update) && file_.truncate(end_) && file_.seek(end_);
}

AviWriteStatus AviWriter::writeAt(uint64_t offset, const std::vector<uint8_t>& bytes) {
    if (!file_.seek(offset) || !file_.write(bytes.data(), bytes.size()) || !file_.flush())
        return AviWriteStatus::CannotWrite;
    return AviWriteStatus::Ok;
}

AviWriteStatus AviWriter::finish() {
    if (!file_.isOpen()) return AviWriteStatus::CannotWrite;
    if (broken_) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }

    std::vector<uint8_t> idx1;
    idx1.reserve(kChunkHeaderSize + kIndexEntrySize * index_.size());
    PutChunkHeader(idx1, kFccIdx1, uint32_t(kIndexEntrySize * index_.size()));
    const uint64_t moviFourcc = moviListOffset_ + kChunkHeaderSize;
    for (const AviIndexEntry& e : index_) {
        PutU32(idx1, e.chunkId);
        PutU32(idx1, e.flags);
        PutU32(idx1, uint32_t(e.offset - moviFourcc));
        PutU32(idx1, e.size);
    }
    bool hasIndex = writeAt(end_, idx1) == AviWriteStatus::Ok;
    // Without room for the index the frames are still a valid file: readers scan the movi list.
    if (!hasIndex && !cutBackToLastChunk()) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }
    const uint64_t fileEnd = hasIndex ? end_ + idx1.size() : end_;

    if (writeAt(0, headerBytes(fileEnd, hasIndex)) != AviWriteStatus::Ok || !file_.sync()) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }
    if (!file_.close()) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }
    std::error_code ec;
    std::filesystem::rename(tempPath_, path_, ec);
    if (ec) {
        closeAndRemove();
        return AviWriteStatus::CannotWrite;
    }
    SyncDirectoryOf(path_);
    tempPath_.clear();
    return AviWriteStatus::Ok;
}

void AviWriter::closeAndRemove() {
    file_.close();
    if (!tempPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove(tempPath_, ec);
        tempPath_.clear();
    }
    broken_ = false;
}

void AviWriter::abandon() { closeAndRemove(); }

}  // namespace kestrel
