// Every message box of the desktop program goes through here, so that a test can answer it.
#pragma once

#include <functional>
#include <string>

#include <QMessageBox>

#include "run/windowing.h"

class QWidget;

namespace kestrel {

// When set, takes the place of the box and returns the button "pressed".
using MessageBoxHookFn = std::function<Pressed(QWidget* owner, const std::string& text,
                                               const std::string& caption, Buttons buttons)>;
MessageBoxHookFn& MessageBoxHook();

// Modal; the button pressed.
Pressed ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                       Buttons buttons, QMessageBox::Icon icon);

}  // namespace kestrel
