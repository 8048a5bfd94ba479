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
    // Nothing can answer on a port that is not open: no second to wait.
    if (!transport.send(CommandFrame(wire::Identify)))
        return result;
    // The unit is given its full second even when it answers at once; a
    // reply of the wrong length is left where it is.
    transport.pause(IdentificationWaitMs);
    if (transport.bytesWaiting() == IdentificationLength) {
        result.reply = transport.takeAll();
        result.ok = result.reply.size() == IdentificationLength;
    }
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
