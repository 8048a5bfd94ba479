#pragma once

#include "core/appstate.h"
#include "ui/messagebox.h"

#include "support/modalanswer.h"

#include <QFile>
#include <QPushButton>
#include <QRadioButton>

namespace varn::robust {

using test::ModalAnswer;

// Collects every message box the program shows while it lives.
class MessageLog {
public:
    MessageLog() {
        SetMessageHandler([this](const ShownMessage& m) { shown << m; });
    }
    ~MessageLog() { SetMessageHandler({}); }
    QStringList titles() const {
        QStringList t;
        for (const ShownMessage& m : shown)
            t << m.title;
        return t;
    }
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
};

// The load options dialog answered with a file type and OK.
inline void AnswerLoadOptions(QWidget* dialog, bool hex) {
    if (auto* option = dialog->findChild<QRadioButton*>(hex ? "Option1" : "Option2"))
        option->setChecked(true);
    if (auto* ok = dialog->findChild<QPushButton*>("cmdOk"))
        ok->click();
}

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A recognisable buffer: any byte a test did not expect to change shows.
inline void PatternBuffer(AppState& state) {
    for (int i = 0; i < BufferSize; ++i)
        state.Buffer[size_t(i)] = quint8(i * 31 + 7);
}

// An Intel HEX data record (with its checksum and CR LF).
inline QByteArray HexRecord(int address, const QByteArray& data) {
    QByteArray bytes =
        QByteArray(1, char(data.size())) + char(address >> 8) + char(address & 0xFF) + '\0' + data;
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    return ":" + (bytes + char(-sum)).toHex().toUpper() + "\r\n";
}

} // namespace varn::robust
