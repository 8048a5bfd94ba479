#include "openlink.h"

#include "netlink.h"
#include "seriallink.h"

#include "core/usersettings.h"

#include <QUrl>

namespace varn {

namespace {

const QString UseAddressKey = QStringLiteral("link/useNetworkAddress");
const QString AddressKey = QStringLiteral("link/networkAddress");
const QString LatencyKey = QStringLiteral("link/netLatencyMs");
constexpr int MaxLatencyMs = 60000;

bool AllDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (!c.isDigit())
            return false;
    }
    return true;
}

std::unique_ptr<PortLink> LinkFor(const PortAddress& where, const QString& appDir,
                                  const LinkOptions& options) {
    switch (where.kind) {
    case PortAddress::Kind::Number: {
        auto link = std::make_unique<SerialLink>(nullptr, options.timeoutTimer);
        link->setTarget(where.number, appDir);
        return link;
    }
    case PortAddress::Kind::Path: {
        auto link = std::make_unique<SerialLink>(nullptr, options.timeoutTimer);
        link->setTarget(where.path, where.path);
        return link;
    }
    case PortAddress::Kind::Tcp:
    case PortAddress::Kind::Rfc2217:
        break;
    }
    return std::make_unique<NetLink>(
        where.kind == PortAddress::Kind::Tcp ? NetLink::Protocol::Raw : NetLink::Protocol::Rfc2217,
        where.host, where.port, options.netLatencyMs);
}

} // namespace

Status ParsePortAddress(const QString& text, PortAddress& address) {
    address = {};
    if (AllDigits(text)) {
        bool ok = false;
        const int number = text.toInt(&ok);
        if (!ok || number < 1 || number > 8)
            return Status::Fail(QStringLiteral("%1: a port number is 1 to 8").arg(text));
        address.number = number;
        return Status::Ok();
    }
    if (!text.contains(QStringLiteral("://"))) {
        if (text.isEmpty())
            return Status::Fail(QStringLiteral("no port given"));
        address.kind = PortAddress::Kind::Path;
        address.path = text;
        return Status::Ok();
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const auto bad = [&text](const QString& why) {
        return Status::Fail(text + QStringLiteral(": ") + why +
                            QStringLiteral(" (tcp://HOST:PORT or rfc2217://HOST:PORT)"));
    };
    if (scheme == QLatin1String("tcp"))
        address.kind = PortAddress::Kind::Tcp;
    else if (scheme == QLatin1String("rfc2217"))
        address.kind = PortAddress::Kind::Rfc2217;
    else
        return bad(QStringLiteral("unknown kind of address"));
    if (!url.isValid() || url.host().isEmpty())
        return bad(QStringLiteral("no host"));
    if (url.port() < 1)
        return bad(QStringLiteral("no port number"));
    if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return bad(QStringLiteral("only a host and a port"));
    address.host = url.host();
    address.port = quint16(url.port());
    return Status::Ok();
}

QString PortLabel(const QString& address) {
    return AllDigits(address) ? QStringLiteral("COM") + address : address;
}

std::unique_ptr<PortLink> CreateLink(const QString& address, const QString& appDir,
                                     const LinkOptions& options, Status* status) {
    PortAddress where;
    const Status parsed = ParsePortAddress(address, where);
    if (status)
        *status = parsed;
    if (!parsed)
        return nullptr;
    std::unique_ptr<PortLink> link = LinkFor(where, appDir, options);
    link->setPortAddress(address);
    return link;
}

OpenedLink OpenLink(const QString& address, const QString& appDir, const LinkOptions& options) {
    OpenedLink opened;
    opened.link = CreateLink(address, appDir, options, &opened.status);
    if (opened.link)
        opened.status = opened.link->reopen();
    return opened;
}

NetworkPortSettings ReadNetworkPortSettings(const UserSettings& settings) {
    NetworkPortSettings network;
    network.address = settings.value(AddressKey).toString().trimmed();
    network.useAddress =
        settings.value(UseAddressKey, false).toBool() && !network.address.isEmpty();
    bool ok = false;
    const int latency = settings.value(LatencyKey).toInt(&ok);
    network.latencyMs = ok ? qBound(-1, latency, MaxLatencyMs) : -1;
    return network;
}

void WriteNetworkPortSettings(UserSettings& settings, const NetworkPortSettings& network) {
    settings.setValue(UseAddressKey, network.useAddress);
    settings.setValue(AddressKey, network.address);
    settings.setValue(LatencyKey, network.latencyMs);
}

QString DesktopPortAddress(const UserSettings& settings, int portNumber) {
    const NetworkPortSettings network = ReadNetworkPortSettings(settings);
    return network.useAddress ? network.address : QString::number(portNumber);
}

} // namespace varn
