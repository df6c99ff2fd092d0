#include "base/file.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel {

bool File::open(const std::string& path, Mode mode) {
    close();
    const char* how = mode == Mode::Read ? "rb" : mode == Mode::CreateNew ? "wbx" : "r+b";
    f_ = std::fopen(path.c_str(), how);
    return f_ != nullptr;
}

bool File::close() {
    if (!f_) return true;
    bool ok = std::fclose(f_) == 0;
    f_ = nullptr;
    return ok;
}

size_t File::read(void* out, size_t n) { return f_ ? std::fread(out, 1, n, f_) : 0; }

bool File::write(const void* data, size_t n) {
    return f_ && (n == 0 || std::fwrite(data, 1, n, f_) == n);
}

bool File::seek(uint64_t offset) {
    if (!f_ || offset > uint64_t(INT64_MAX)) return false;
#if defined(_WIN32)
    return _fseeki64(f_, int64_t(offset), SEEK_SET) == 0;
#else
    return fseeko(f_, off_t(offset), SEEK_SET) == 0;
#endif
}

uint64_t File::tell() {
    if (!f_) return 0;
#if defined(_WIN32)
    int64_t p = _ftelli64(f_);
#else
    int64_t p = ftello(f_);
#endif
    return p < 0 ? 0 : uint64_t(p);
}

bool File::flush() { return f_ && std::fflush(f_) == 0; }

int64_t File::size() {
    if (!f_) return -1;
#if defined(_WIN32)
    int64_t here = _ftelli64(f_);
    if (here < 0 || _fseeki64(f_, 0, SEEK_END) != 0) return -1;
    int64_t end = _ftelli64(f_);
    _fseeki64(f_, here, SEEK_SET);
#else
    off_t here = ftello(f_);
    if (here < 0 || fseeko(f_, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(f_);
    fseeko(f_, here, SEEK_SET);
#endif
    return end;
}

bool File::truncate(uint64_t length) {
    if (!f_ || std::fflush(f_) != 0) return false;
#if defined(_WIN32)
    return _chsize_s(_fileno(f_), int64_t(length)) == 0;
#else
    return ftruncate(fileno(f_), off_t(length)) == 0;
#endif
}

bool File::sync() {
    if (!f_ || std::fflush(f_) != 0) return false;
#if defined(_WIN32)
    return _commit(_fileno(f_)) == 0;
#else
    return fsync(fileno(f_)) == 0;
#endif
}

}  // namespace kestrel

namespace kestrel {

void File::startWriteback(uint64_t offset, uint64_t length) {
#if defined(__linux__)
    if (f_ && offset <= uint64_t(INT64_MAX) && length <= uint64_t(INT64_MAX))
        sync_file_range(fileno(f_), off64_t(offset), off64_t(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
}

}  // namespace kestrel
