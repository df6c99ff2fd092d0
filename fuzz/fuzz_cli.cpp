// The command line of kestrel-batch: the input is split into arguments at NUL and newline
// bytes. A settings file named on the line reads a fixed scratch file, or fails when its name
// has an odd length, so that both answers of the loader are taken.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz/fuzz_support.h"
#include "settings/fields.h"
#include "settings/settings_file.h"

using namespace kestrel;

namespace {

std::string SettingsScratch() {
    const std::string path = fuzz::ScratchFile("Kestrel.ini");
    const std::string text =
        "[Filenames]\nInputFile=in.avi\nOutputFile=out.avi\nDarkFrame=dark.bmp\n"
        "[Flags]\nSubDark=1\nHot=0\n[Values]\nHotThreshold=180\nBorder=20\n";
    fuzz::WriteScratch(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return path;
}

bool LoadScratch(const std::string& name, Settings& into) {
    static const std::string path = SettingsScratch();
    if (name.size() % 2) return false;
    LoadSettings(path, into);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0' || data[i] == '\n')
            args.emplace_back();
        else
            args.back() += char(data[i]);
    }
    if (args.size() > 1 && args.back().empty()) args.pop_back();  // a final separator ends one

    CommandLine cmd;
    std::string error;
    if (!ParseCommandLine(args, LoadScratch, cmd, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) fuzz::Fail();
        return 0;
    }
    if (!error.empty()) fuzz::Fail();
    if (cmd.action != CommandLine::Action::Run) return 0;
    // Every value a run can start with is one that the dialogs could have set.
    const Settings& s = cmd.settings;
    for (const Field& f : kFields) {
        if (f.name && (s.*f.name).size() > kMaxNameChars) fuzz::Fail();
        if (f.flag && s.*f.flag > 1) fuzz::Fail();
        if (f.value && (s.*f.value < f.minimum || s.*f.value > f.maximum)) fuzz::Fail();
    }
    return 0;
}
