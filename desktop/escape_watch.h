// Whether Escape is held down right now, whichever of our windows has the focus.
#pragma once

#include <cstdint>

#include <QObject>

namespace kestrel {

class EscapeWatch : public QObject {
public:
    // Watches every window of the application from now on.
    EscapeWatch();
    ~EscapeWatch() override;

    bool down();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool pressed_ = false;
    uint32_t keycode_ = 9;  // Escape on X servers with evdev key codes; learnt from the first press
};

}  // namespace kestrel
