// Scratch directories and whole-file reads and writes for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

// A fresh empty directory under the system's temporary directory, removed with everything in
// it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> names() const;  // of the entries, sorted

private:
    std::string path_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool WriteFileText(const std::string& path, const std::string& text);

}  // namespace kestrel::test
