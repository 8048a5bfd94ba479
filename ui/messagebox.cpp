#include "messagebox.h"

#include <QMessageBox>
#include <QPushButton>

namespace varn {

namespace {
MessageHandler& handler() {
    static MessageHandler h;
    return h;
}
ChoiceHandler& choiceHandler() {
    static ChoiceHandler h;
    return h;
}

QMessageBox::Icon QtIcon(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Critical:
        return QMessageBox::Critical;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}
} // namespace

void SetMessageHandler(MessageHandler h) {
    handler() = std::move(h);
}
void SetChoiceHandler(ChoiceHandler h) {
    choiceHandler() = std::move(h);
}

void ShowMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon) {
    if (handler()) {
        handler()({title, text, icon, {}});
        return;
    }
    QMessageBox box(QtIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

int AskMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon,
               const QStringList& buttons) {
    const ShownMessage message{title, text, icon, buttons};
    const int last = int(buttons.size()) - 1;
    if (choiceHandler())
        return choiceHandler()(message);
    if (handler()) {
        handler()(message);
        return last;
    }
    QMessageBox box(QtIcon(icon), title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton*> shown;
    for (int i = 0; i <= last; ++i)
        shown << box.addButton(buttons[i],
                               i == last ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    if (!shown.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(shown.first()));
        box.setEscapeButton(shown.last());
    }
    box.exec();
    const int chosen = int(shown.indexOf(box.clickedButton()));
    return chosen < 0 ? last : chosen;
}

} // namespace varn
