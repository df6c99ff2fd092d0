#include "desktop/message_box.h"

namespace kestrel {

MessageBoxHookFn& MessageBoxHook() {
    static MessageBoxHookFn hook;
    return hook;
}

Pressed ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                       Buttons buttons, QMessageBox::Icon icon, const std::string& details) {
    if (MessageBoxHook()) return MessageBoxHook()(owner, text, caption, buttons, details);
    bool yesNo = buttons == Buttons::YesNo;
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    if (!details.empty()) box.setDetailedText(QString::fromStdString(details));
    if (!owner) box.setWindowModality(Qt::ApplicationModal);
    int pressed = box.exec();
    if (!yesNo) return Pressed::Ok;
    return pressed == QMessageBox::Yes ? Pressed::Yes : Pressed::No;
}

}  // namespace kestrel
