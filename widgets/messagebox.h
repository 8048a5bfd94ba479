#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace varn {

enum class MsgIcon { None, Critical, Warning, Information };

struct ShownMessage {
    QString title;
    QString text;
    MsgIcon icon = MsgIcon::None;
    QStringList buttons;   // AskMessage's choices; empty for a plain message
    int defaultChoice = 0; // the button Enter chooses
};

// Every window shows its message boxes (one OK button) through here, so that
// tests can read and answer them without a modal loop. A box stands centred
// on its parent's window (on the screen while that is not shown) and is wide
// enough for its title to show in a title bar.
void ShowMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon);

// A message with a choice: buttons are shown in order (the last one closes
// the box, as Escape does); Enter chooses defaultChoice. Returns the index of
// the button chosen.
int AskMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon,
               const QStringList& buttons, int defaultChoice = 0);

// Where a box of this size stands centred on owner, kept inside screen.
QPoint CentredPosition(const QRect& owner, const QSize& box, const QRect& screen);

// A test installs a handler that receives each message instead of a box;
// passing an empty function restores real message boxes.
using MessageHandler = std::function<void(const ShownMessage&)>;
void SetMessageHandler(MessageHandler handler);
// Answers AskMessage in tests. Without one, a message handler still receives
// the message, and the answer is the last button.
using ChoiceHandler = std::function<int(const ShownMessage&)>;
void SetChoiceHandler(ChoiceHandler handler);

} // namespace varn
