// The settings file: the input is loaded as Kestrel.ini, the record saved into it and loaded
// again. What was saved must read back the same, and saving it once more changes no byte.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_support.h"
#include "settings/settings_file.h"

using namespace kestrel;

static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::ScratchFile("Kestrel.ini");
    fuzz::WriteScratch(path, data, size);
    Settings loaded, reloaded;
    LoadSettings(path, loaded);
    if (!SaveSettings(path, loaded)) fuzz::Fail();
    const std::string saved = Contents(path);
    LoadSettings(path, reloaded);
    if (loaded != reloaded || !SaveSettings(path, reloaded) || Contents(path) != saved)
        fuzz::Fail();
    return 0;
}
