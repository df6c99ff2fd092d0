// What the batch run relies on from a windowing system. Three implementations are real: the Qt
// desktop, the terminal of kestrel-batch, and the scripted one of the tests. The run holds every
// text the user sees; an implementation only shows what it is given.
#pragma once

#include <cstdint>
#include <string>

#include "base/image.h"

namespace kestrel {

// The buttons a message box offers, and the one the user pressed to close a box or a dialog.
enum class Buttons { Ok, YesNo };
enum class Pressed { Ok, Cancel, Yes, No };
enum class Owner { MainWindow, None };

// The caption of every failure's box; front ends show such boxes as errors.
constexpr const char* kErrorCaption = "Error";

class Windowing {
public:
    virtual ~Windowing() = default;

    // Modal: returns the button pressed (Ok, Yes or No) once the box is closed. `details` go
    // beneath the text: the file and the reason of a failure ("in.avi: No such file or
    // directory"), or nothing.
    virtual Pressed messageBox(const std::string& text, const std::string& caption, Buttons buttons,
                               Owner owner, const std::string& details) = 0;

    // The modal Setup dialog; Ok when the user pressed OK, after it stored the names and
    // switches into the settings. Any other result means cancel.
    virtual Pressed setupDialog() = 0;

    // True while Escape is held down at this moment, or the user asked to stop in the front
    // end's own way (Ctrl-C in a terminal, the main window closed).
    virtual bool escapeDown() = 0;

    // Dispatches pending window messages until a command is found or none is left. Returns
    // true when it took a command from the queue: the command is not carried out, and the run
    // answers it before it asks again. False when the queue is empty.
    virtual bool drainUntilCommand() = 0;

    // Blackens the preview (before a run); shows nothing yet.
    virtual void clearPreview() = 0;

    // Shows `frame` and returns once it is on the screen. `position` counts from 0; `length`
    // is the input stream's announced length (0 when unknown), for progress displays.
    virtual void showFrame(const Image& frame, int32_t position, uint32_t length) = 0;

    // The wait cursor for the length of the run, then the cursor that was current before.
    virtual void beginWaitCursor() = 0;
    virtual void endWaitCursor() = 0;
};

}  // namespace kestrel
