#pragma once

#include "core/status.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace varn {

class AppState;
class SessionHost;

// The link to the programmer unit as the main window sees it: connecting
// and identifying (at the start and on Reconnect), Run and Reset, and a line
// lost on the way. The exchanges go through the session host's queue; what
// the window shows of them comes back as signals.
class UnitConnection : public QObject {
    Q_OBJECT
public:
    struct Outcome {
        Status connected;
        bool portOpened = false; // false: the port itself failed
        bool lineOpen = false;
    };

    // parent: the window its messages stand over.
    UnitConnection(AppState& state, SessionHost& host, QWidget* parent);

    // Opens the port of the settings and identifies the unit through the
    // session (again: afresh, after a lost line), updating the unit's state;
    // then: on the window's thread, once the session has answered.
    void connectToUnit(bool again, std::function<void(const Outcome&)> then);
    // Opens the port again, identifies the unit and restores the status bar.
    void reconnect();
    // Run (true) or Reset through the session; tells a closed line.
    void setTarget(bool running);

    // The unit's answer to the last identification that succeeded.
    const QByteArray& identification() const { return identified; }
    // Panel 1 after a connection: the port while its line is open.
    QString portText(const Outcome& outcome) const;
    // The port tried and, for a port number, where it leads.
    QString portTried() const;

    static QString portErrorTitle() { return QStringLiteral("Communication Port Error"); }

signals:
    void menusWanted(bool enabled);
    void portShown(const QString& text);
    // The device panels, and the unit's run state (state.unitInReset).
    void deviceShown();
    void unitStateChanged();
    // A reconnect has identified the unit and shown its report.
    void reconnected();

private:
    void connectionLost(const QString& reason);
    // A port fault with the offer to reconnect.
    void offerReconnect(const QString& reason);

    AppState& state;
    SessionHost& host;
    QWidget* window;
    QByteArray identified;
};

} // namespace varn
