#pragma once

#include "core/appstate.h"
#include "ui/messagebox.h"

#include "support/modalanswer.h"

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QTimer>
#include <functional>

namespace varn::robust {

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
    QList<ShownMessage> shown;
};

using test::ModalAnswer;

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
inline QByteArray HexRecord(int address, const QByteArray& data, int type = 0) {
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char((256 - (sum & 0xFF)) & 0xFF));
    return ":" + bytes.toHex().toUpper() + "\r\n";
}

} // namespace varn::robust
