#include "messagebox.h"

#include <QMessageBox>

namespace varn {

namespace {
MessageHandler& handler() {
    static MessageHandler h;
    return h;
}
} // namespace

void SetMessageHandler(MessageHandler h) { handler() = std::move(h); }

void ShowMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon) {
    if (handler()) {
        handler()({title, text, icon});
        return;
    }
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    switch (icon) {
    case MsgIcon::None:
        break;
    case MsgIcon::Critical:
        qtIcon = QMessageBox::Critical;
        break;
    case MsgIcon::Warning:
        qtIcon = QMessageBox::Warning;
        break;
    case MsgIcon::Information:
        qtIcon = QMessageBox::Information;
        break;
    }
    QMessageBox box(qtIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace varn
