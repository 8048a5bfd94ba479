#pragma once

#include "widgets/messagebox.h"

#include <QStringList>
#include <functional>

namespace varn::test {

// Collects every message box the program shows while it lives; `during`
// runs while a box is "open" (a test may try to close a window then).
class MessageLog {
public:
    MessageLog() {
        SetMessageHandler([this](const ShownMessage& m) {
            shown << m;
            if (during)
                during();
        });
    }
    ~MessageLog() { SetMessageHandler({}); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList titles() const {
        QStringList t;
        for (const ShownMessage& m : shown)
            t << m.title;
        return t;
    }
    int size() const { return int(shown.size()); }
    bool isEmpty() const { return shown.isEmpty(); }
    const ShownMessage& operator[](int i) const { return shown[i]; }
    void clear() { shown.clear(); }
    // Exactly one box was shown: critical, with this title, naming `named`.
    bool onlyCritical(const QString& title, const QString& named) const {
        const bool ok = shown.size() == 1 && shown[0].title == title &&
                        shown[0].icon == MsgIcon::Critical && shown[0].text.contains(named);
        if (!ok)
            qWarning("boxes: %s / %s", qPrintable(titles().join('|')),
                     qPrintable(shown.isEmpty() ? QString() : shown[0].text));
        return ok;
    }

    QList<ShownMessage> shown;
    std::function<void()> during;
};

} // namespace varn::test
