#include "unitcommands.h"

#include "core/protocol.h"

namespace varn {

namespace {
constexpr int IdentificationLength = wire::IdentifyReplyBytes;
constexpr int IdentificationWaitMs = 1000;
} // namespace

QByteArray CommandFrame(char letter) {
    QByteArray frame(wire::CommandFrameBytes, char(wire::CommandLength));
    frame[1] = letter;
    return frame;
}

Identification IdentifyUnit(AppState& state, Transport& transport) {
    Identification result;
    state.UnitIdentified = false;
    // What is waiting now came before the question and is no part of the
    // answer.
    if (transport.bytesWaiting() > 0)
        transport.takeAll();
    // Nothing can answer on a port that is not open: no second to wait.
    if (!transport.send(CommandFrame(wire::Identify)))
        return result;
    // The answer is the eight bytes that came first, taken the moment they
    // are there: a byte that trails them later is a stray the unit sent
    // after its answer. More than eight arriving at once is a wrong answer,
    // and a wrong answer is left where it is.
    const qint64 asked = transport.clockUs();
    if (!transport.waitForReply(IdentificationLength, IdentificationWaitMs) &&
        transport.bytesWaiting() == IdentificationLength) {
        result.reply = transport.takeAll();
        result.ok = result.reply.size() == IdentificationLength;
    }
    // The unit is given its full second even when it answers at once.
    const qint64 waitedMs = (transport.clockUs() - asked) / 1000;
    if (waitedMs < IdentificationWaitMs)
        transport.pause(int(IdentificationWaitMs - waitedMs));
    if (result.ok && transport.bytesWaiting() > 0)
        transport.takeAll();
    state.UnitIdentified = result.ok;
    return result;
}

QString IdentificationReport(const QByteArray& reply) {
    const QByteArray r = reply.leftJustified(IdentificationLength, ' ');
    return QStringLiteral("Device: ") + QString::fromLatin1(r.mid(1, 4)) +
           QStringLiteral("\r\nVersion ") + QChar(uchar(r[6])) + QLatin1Char('.') +
           QChar(uchar(r[7]));
}

bool DeviceRun(AppState& state, Transport& transport) {
    if (!state.unitInReset)
        return false;
    // The state follows the user even when the port is closed; the caller
    // tells the user that nothing reached the unit.
    state.unitInReset = false;
    if (transport.isOpen())
        transport.send(CommandFrame(wire::Run));
    return true;
}

bool DeviceReset(AppState& state, Transport& transport) {
    if (state.unitInReset)
        return false;
    state.unitInReset = true;
    if (transport.isOpen())
        transport.send(CommandFrame(wire::Reset));
    return true;
}

QString UnitStateText(const AppState& state) {
    return state.unitInReset ? QStringLiteral("RESET") : QStringLiteral("RUN");
}

} // namespace varn
