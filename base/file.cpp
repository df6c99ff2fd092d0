#include "base/file.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

std::string SystemReason(int error) {
    return error != 0 ? std::generic_category().message(error) : "the system gave no reason";
}

bool File::noted(bool ok) {
    if (!ok) error_ = f_ ? errno : EBADF;
    return ok;
}

bool File::open(const std::string& path, Mode mode) {
    close();
    const char* how = mode == Mode::Read ? "rb" : mode == Mode::CreateNew ? "wbx" : "r+b";
    f_ = std::fopen(path.c_str(), how);
    if (!f_) error_ = errno;
    return f_ != nullptr;
}

bool File::close() {
    if (!f_) return true;
    const bool ok = std::fclose(f_) == 0;
    if (!ok) error_ = errno;
    f_ = nullptr;
    return ok;
}

size_t File::read(void* out, size_t n) { return f_ ? std::fread(out, 1, n, f_) : 0; }

size_t File::readAt(uint64_t offset, void* out, size_t n) {
    size_t got = 0;
    while (f_ && got < n && offset + got <= uint64_t(INT64_MAX)) {
        const ssize_t r =
            ::pread(fileno(f_), static_cast<uint8_t*>(out) + got, n - got, off_t(offset + got));
        if (r > 0) {
            got += size_t(r);
        } else if (r == 0 || errno != EINTR) {
            if (r < 0) error_ = errno;
            break;
        }
    }
    return got;
}

bool File::write(const void* data, size_t n) {
    return noted(f_ && (n == 0 || std::fwrite(data, 1, n, f_) == n));
}

bool File::seek(uint64_t offset) {
    if (f_ && offset > uint64_t(INT64_MAX)) {
        error_ = EOVERFLOW;  // errno would tell of some earlier call
        return false;
    }
    return noted(f_ && fseeko(f_, off_t(offset), SEEK_SET) == 0);
}

uint64_t File::tell() {
    if (!f_) return 0;
    const off_t p = ftello(f_);
    return p < 0 ? 0 : uint64_t(p);
}

bool File::flush() { return noted(f_ && std::fflush(f_) == 0); }

int64_t File::size() {
    if (!f_) return -1;
    const off_t here = ftello(f_);
    if (here < 0 || fseeko(f_, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(f_);
    fseeko(f_, here, SEEK_SET);
    return end;
}

bool File::truncate(uint64_t length) {
    if (f_ && length > uint64_t(INT64_MAX)) {
        error_ = EOVERFLOW;
        return false;
    }
    return noted(f_ && std::fflush(f_) == 0 && ftruncate(fileno(f_), off_t(length)) == 0);
}

bool File::sync() { return noted(f_ && std::fflush(f_) == 0 && fsync(fileno(f_)) == 0); }

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
