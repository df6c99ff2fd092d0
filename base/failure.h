// A failure the user must be told of: the system's fixed words and, beneath them, why. The core
// never shows it; the batch run hands it to the windowing services where it is found.
#pragma once

#include <string>

namespace kestrel {

struct Failure {
    std::string message;  // the fixed one-line text ("Can't open dark frame"); empty: none
    std::string reason;   // why, in a few words ("compressed bitmaps are not read"); may be empty

    explicit operator bool() const { return !message.empty(); }
    void clear() {
        message.clear();
        reason.clear();
    }
};

}  // namespace kestrel
