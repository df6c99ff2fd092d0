// The command line of kestrel-batch, split into arguments at NUL and newline bytes. A settings
// file named on it loads when its name has an even length, so that both answers are taken.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz/fuzz_support.h"
#include "settings/fields.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto load = [](const std::string& name, Settings& into, std::string&) {
        into.InputFile = "in.avi", into.OutputFile = "out.avi", into.Border = 20;
        return name.size() % 2 == 0;
    };
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
    // A line refused has one line of reason; every value taken is one the dialogs could set.
    const bool taken = ParseCommandLine(args, load, cmd, error);
    if (taken == !error.empty() || error.find('\n') != std::string::npos) fuzz::Fail();
    const Settings& s = cmd.settings;
    for (const Field& f : kFields) {
        if (f.name && (s.*f.name).size() > kMaxNameChars) fuzz::Fail();
        if (f.flag && s.*f.flag > 1) fuzz::Fail();
        if (f.value && (s.*f.value < f.minimum || s.*f.value > f.maximum)) fuzz::Fail();
    }
    return 0;
}
