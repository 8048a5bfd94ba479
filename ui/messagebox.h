#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace varn {

enum class MsgIcon { None, Critical, Warning, Information };

struct ShownMessage {
    QString title;
    QString text;
    MsgIcon icon = MsgIcon::None;
};

// Every window shows its message boxes (one OK button) through here, so that
// tests can read and answer them without a modal loop.
void ShowMessage(QWidget* parent, const QString& title, const QString& text, MsgIcon icon);

// A test installs a handler that receives each message instead of a box;
// passing an empty function restores real message boxes.
using MessageHandler = std::function<void(const ShownMessage&)>;
void SetMessageHandler(MessageHandler handler);

} // namespace varn
