// A failure the user must be told of: the system's fixed words and, beneath them, why. The core
// never shows it; the batch run hands it to the windowing services where it is found.
#pragma once

#include <string>
#include <utility>

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

// The one line of a refusal: sets `reason` and returns false.
inline bool Refuse(std::string& reason, std::string why) {
    reason = std::move(why);
    return false;
}

}  // namespace kestrel
