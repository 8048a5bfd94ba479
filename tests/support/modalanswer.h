#pragma once

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace varn::test {

// Answers the modal dialog named `name` once it is shown; any other modal
// dialog is rejected and remembered so that a wrong dialog fails the test
// instead of hanging it.
class ModalAnswer : public QObject {
public:
    ModalAnswer(const QString& name, std::function<void(QWidget*)> act)
        : name(name), act(std::move(act)) {
        connect(&timer, &QTimer::timeout, this, &ModalAnswer::poll);
        timer.start(5);
    }
    bool seen = false;
    QStringList unexpected;

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        // An answer may wait for the dialog's work, with events flowing.
        // The dialog answered may stay open while its work goes on.
        if (!modal || !modal->isVisible() || acting || modal == answered)
            return;
        if (modal->objectName() == name && !seen) {
            seen = true;
            answered = modal;
            acting = true;
            act(modal);
            acting = false;
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            unexpected << modal->objectName();
            dialog->reject();
        }
    }
    QString name;
    bool acting = false;
    QPointer<QWidget> answered;
    std::function<void(QWidget*)> act;
    QTimer timer;
};

} // namespace varn::test
