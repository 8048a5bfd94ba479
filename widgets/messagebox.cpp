#include "messagebox.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSpacerItem>

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

// Room a title bar needs beside its text: the window icon and the buttons.
constexpr int TitleBarRoom = 160;

// Qt places a dialog before the message box has worked out its size, so the
// box would stand off centre (up and left of its owner when it grows); it is
// placed again once its size is known.
class OwnedMessageBox : public QMessageBox {
public:
    OwnedMessageBox(MsgIcon icon, const QString& title, const QString& text,
                    StandardButtons buttons, QWidget* parent)
        : QMessageBox(QtIcon(icon), title, text, buttons, parent) {
        // The box grows to its layout's minimum width: keep the title readable.
        if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
            QFont titleFont = font();
            titleFont.setBold(true);
            const int width = QFontMetrics(titleFont).horizontalAdvance(title) + TitleBarRoom;
            grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
    }

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
        QScreen* where = owner ? owner->screen() : screen();
        const QRect area = where ? where->availableGeometry() : QRect();
        const QRect around = owner && owner->isVisible() ? owner->frameGeometry() : area;
        if (!around.isEmpty())
            move(CentredPosition(around, frameGeometry().size(), area));
    }
};

} // namespace

QPoint CentredPosition(const QRect& owner, const QSize& box, const QRect& screen) {
    QPoint at = owner.center() - QPoint(box.width() / 2, box.height() / 2);
    // Never off the screen, and the title bar stays reachable.
    if (!screen.isEmpty()) {
        at.setX(qBound(screen.left(), at.x(),
                       std::max(screen.left(), screen.right() + 1 - box.width())));
        at.setY(qBound(screen.top(), at.y(),
                       std::max(screen.top(), screen.bottom() + 1 - box.height())));
    }
    return at;
}

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
    OwnedMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

int AskMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon,
               const QStringList& buttons, int defaultChoice) {
    const ShownMessage message{title, text, icon, buttons, defaultChoice};
    const int last = int(buttons.size()) - 1;
    if (choiceHandler())
        return choiceHandler()(message);
    if (handler()) {
        handler()(message);
        return last;
    }
    OwnedMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton*> shown;
    for (int i = 0; i <= last; ++i)
        shown << box.addButton(buttons[i],
                               i == last ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    if (!shown.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(shown.value(defaultChoice, shown.first())));
        box.setEscapeButton(shown.last());
    }
    box.exec();
    const int chosen = int(shown.indexOf(box.clickedButton()));
    return chosen < 0 ? last : chosen;
}

} // namespace varn
