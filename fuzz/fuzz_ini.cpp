// The settings file: the input is loaded as Kestrel.ini, the record saved into it and loaded
// again. What was saved must read back the same, and saving it once more changes no byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "settings/profile.h"
#include "settings/settings_file.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::ScratchFile("Kestrel.ini");
    fuzz::WriteScratch(path, data, size);
    Settings loaded, reloaded;
    ProfileDocument saved, resaved;
    LoadSettings(path, loaded);
    if (!SaveSettings(path, loaded) || !ProfileDocument::Load(path, saved)) fuzz::Fail();
    LoadSettings(path, reloaded);
    if (loaded != reloaded || !SaveSettings(path, reloaded) ||
        !ProfileDocument::Load(path, resaved) || resaved.lines != saved.lines)
        fuzz::Fail();
    return 0;
}
