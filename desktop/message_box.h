// Every message box of the desktop program goes through here, so that a test can answer it.
#pragma once

#include <functional>
#include <string>

#include <QMessageBox>

#include "run/windowing.h"

class QWidget;

namespace kestrel {

// When set, takes the place of the box and returns the button "pressed".
using MessageBoxHookFn =
    std::function<Pressed(QWidget* owner, const std::string& text, const std::string& caption,
                          Buttons buttons, const std::string& details)>;
MessageBoxHookFn& MessageBoxHook();

// Modal; the button pressed. Non-empty `details` are offered under the box's "Show Details".
Pressed ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                       Buttons buttons, QMessageBox::Icon icon, const std::string& details = {});

}  // namespace kestrel
