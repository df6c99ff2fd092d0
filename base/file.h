// A file handle with 64-bit offsets and one owner. Reads report how many bytes really came, so
// that callers never use bytes that are not there; a failed call leaves the system's reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel {

// The system's words for an errno value ("No space left on device").
std::string SystemReason(int error);

class File {
public:
    enum class Mode { Read, CreateNew, Update };

    File() = default;
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : f_(other.f_), error_(other.error_) { other.f_ = nullptr; }
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            close();
            f_ = other.f_;
            error_ = other.error_;
            other.f_ = nullptr;
        }
        return *this;
    }

    // CreateNew fails when the file exists already (used for private temporary files).
    bool open(const std::string& path, Mode mode);
    bool isOpen() const { return f_ != nullptr; }
    // False when closing reported an error (buffered data that could not be stored).
    bool close();

    // Returns the bytes really read: fewer at the end of the file or on an error.
    size_t read(void* out, size_t n);
    // The same from `offset`, in one call to the system and without the stream's buffer, for
    // readers that go from place to place; the position of read() is not used or moved.
    size_t readAt(uint64_t offset, void* out, size_t n);
    // False unless all n bytes were handed to the file.
    bool write(const void* data, size_t n);
    bool seek(uint64_t offset);
    uint64_t tell();
    bool flush();
    // Size of the file in bytes, or -1 when it cannot be told; the position is kept.
    int64_t size();
    // Cuts the file to `length` bytes (used to drop a frame that was only partly stored).
    bool truncate(uint64_t length);
    // Asks the system to put the data on the disk before a rename makes it visible.
    bool sync();
    // Starts writing `length` bytes from `offset` to the disk without waiting, so that the
    // final sync() of a long file has little left to do. Only a hint; a no-op where unsupported.
    void startWriteback(uint64_t offset, uint64_t length);

    // The system's error number of the last call that failed (EEXIST, ENOSPC, ...); 0 before.
    int error() const { return error_; }
    std::string reason() const { return SystemReason(error_); }
    // The descriptor beneath, for the calls the C library does not wrap (fchmod); -1 when closed.
    int descriptor() const { return f_ ? fileno(f_) : -1; }

private:
    bool noted(bool ok);  // returns ok; keeps errno when it is false

    std::FILE* f_ = nullptr;
    int error_ = 0;
};

}  // namespace kestrel
