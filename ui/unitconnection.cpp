#include "unitconnection.h"

#include "core/appstate.h"
#include "core/usersettings.h"
#include "link/openlink.h"
#include "link/portinfo.h"
#include "link/unitcommands.h"
#include "session/programmingsession.h"
#include "session/sessionhost.h"
#include "widgets/messagebox.h"

#include <QTimer>
#include <QWidget>
#include <memory>

namespace varn {

UnitConnection::UnitConnection(AppState& appState, SessionHost& sessionHost, QWidget* parent)
    : QObject(parent), state(appState), host(sessionHost), window(parent) {
    connect(&host, &SessionHost::connectionLost, this, &UnitConnection::connectionLost);
}

void UnitConnection::connectToUnit(bool again, std::function<void(const Outcome&)> then) {
    struct Answer {
        Outcome outcome;
        QByteArray identification;
        bool identified = false;
        bool inReset = false;
    };
    auto answer = std::make_shared<Answer>();
    const auto setup = std::make_shared<const AppState>(state);
    host.queue(
        [setup, again, answer](ProgrammingSession& session) {
            Outcome& c = answer->outcome;
            session.setConfiguration(*setup);
            c.connected = again ? session.reconnect() : session.connectUnit();
            c.portOpened = session.portOpened();
            c.lineOpen = session.link() && session.link()->isOpen();
            if (c.connected)
                answer->identification = session.identification();
            answer->identified = session.identified();
            answer->inReset = session.inReset();
        },
        this,
        [this, answer, then = std::move(then)] {
            if (answer->outcome.connected)
                identified = answer->identification;
            state.UnitIdentified = answer->identified;
            state.unitInReset = answer->inReset;
            then(answer->outcome);
        });
}

QString UnitConnection::portText(const Outcome& outcome) const {
    return outcome.lineOpen ? QStringLiteral("COM") + QString::number(state.PortNumber)
                            : QStringLiteral("FAIL");
}

QString UnitConnection::portTried() const {
    const QString address = DesktopPortAddress(UserSettings(state), state.PortNumber);
    QString where = PortLabel(address);
    if (PortAddress parsed;
        ParsePortAddress(address, parsed) && parsed.kind == PortAddress::Kind::Number)
        where += QStringLiteral(" (") +
                 PortNumberText(DescribePortNumber(parsed.number, state.AppDir)) +
                 QStringLiteral(")");
    return where;
}

void UnitConnection::connectionLost(const QString& reason) {
    emit portShown(QStringLiteral("FAIL"));
    offerReconnect(reason);
}

void UnitConnection::offerReconnect(const QString& reason) {
    const int chosen = AskMessage(window, portErrorTitle(), reason, MsgIcon::Critical,
                                  {QStringLiteral("Reconnect"), QStringLiteral("OK")});
    if (chosen == 0)
        QTimer::singleShot(0, this, &UnitConnection::reconnect);
}

void UnitConnection::setTarget(bool running) {
    // The check marks and the panel follow the user at once, as a checkable
    // item would; the session's answer settles them.
    state.unitInReset = !running;
    emit unitStateChanged();
    struct Answer {
        bool inReset = false;
        QString notConnected; // the closed line's reason, when that kept it from the unit
    };
    auto answer = std::make_shared<Answer>();
    host.queue(
        [running, answer](ProgrammingSession& session) {
            const bool changed = session.setTargetRunning(running);
            answer->inReset = session.inReset();
            if (changed && !(session.link() && session.link()->isOpen()))
                answer->notConnected = session.notConnectedReason();
        },
        this,
        [this, answer] {
            state.unitInReset = answer->inReset;
            emit unitStateChanged();
            if (!answer->notConnected.isEmpty())
                ShowMessage(window, portErrorTitle(), answer->notConnected, MsgIcon::Critical);
        });
}

void UnitConnection::reconnect() {
    // The line may be lost in the middle of a function; it ends at once
    // without a line, and the reconnect follows as soon as it has.
    if (host.busy()) {
        QTimer::singleShot(50, this, &UnitConnection::reconnect);
        return;
    }
    emit menusWanted(false);
    emit portShown(QString());
    // The port number of the settings, which may name another port since
    // the start.
    connectToUnit(true, [this](const Outcome& c) {
        emit menusWanted(true);
        emit portShown(portText(c));
        emit deviceShown();
        emit unitStateChanged();
        if (!c.portOpened) {
            offerReconnect(c.connected.message);
            return;
        }
        if (!c.lineOpen)
            return; // lost again during the identification, and offered then
        if (!c.connected) {
            ShowMessage(window, QStringLiteral("Device Error"),
                        QStringLiteral("Communication Error!"), MsgIcon::Critical);
            return;
        }
        ShowMessage(window, QStringLiteral("VARN"), IdentificationReport(identified),
                    MsgIcon::None);
        emit reconnected();
    });
}

} // namespace varn
