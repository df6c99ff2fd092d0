// A failure the user must be told of: the system's fixed words and, beneath them, why. The core
// never shows it; the batch run hands it to the windowing services where it is found.
#pragma once

#include <string>
#include <utility>

namespace kestrel {

struct Failure {
    std::string message;  // the fixed one-line text ("Can't open dark frame"); empty: none
    std::string file;     // the file it concerns, as the user named it; may be empty
    std::string reason;   // why, in a few words ("compressed bitmaps are not read"); may be empty

    explicit operator bool() const { return !message.empty(); }
    void clear() { *this = Failure{}; }
    // What goes beneath the message: "FILE: reason", or what there is of it.
    std::string details() const {
        return file.empty() ? reason : reason.empty() ? file : file + ": " + reason;
    }
};

// The one line of a refusal: sets `reason` and returns false.
inline bool Refuse(std::string& reason, std::string why) {
    reason = std::move(why);
    return false;
}

}  // namespace kestrel
