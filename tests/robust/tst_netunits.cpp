// Units on the network: Debian's ser2net on loopback in front of varn-unit,
// with a configuration generated in a temporary folder. Whole-device Program
// and Verify through rfc2217:// and tcp://, checked against the memory the
// unit saves at its end, and a terminal server that dies in the middle of a
// run, with the session's Reconnect after it.
#include "functions/devicefunctions.h"
#include "link/openlink.h"
#include "link/unitcommands.h"
#include "session/openlink.h"
#include "session/programmingsession.h"
#include "support/recorder.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"
#include "tools/terminalserver/terminalserver.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

using namespace varn;
using namespace varn::test;

namespace {

constexpr int DeviceBytes = 65536;

struct Rig {
    explicit Rig(const QStringList& unitOptions)
        : unit(QStringList(unitOptions) << "--save-memory" << memoryPath()) {
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
        state.DeviceTable[1] = {QStringLiteral("TEST"), 1, DeviceBytes};
    }
    QString memoryPath() const { return dir.filePath(QStringLiteral("memory.bin")); }
    // The unit, ser2net in front of it, and the link through `kind`.
    QString start(const QString& kind) {
        if (QString why = TerminalServer::missing(); !why.isEmpty())
            return why;
        if (!unit.start())
            return unit.error();
        server = std::make_unique<TerminalServer>(unit.path());
        if (!server->start())
            return server->error();
        address = kind == QLatin1String("rfc2217") ? server->rfc2217Url() : server->tcpUrl();
        OpenedLink opened = OpenLink(address, QString());
        link = std::move(opened.link);
        if (!opened.status)
            return opened.status.message;
        fn = std::make_unique<DeviceFunctions>(state, *link, observer);
        fn->setPauseMs(1); // the load sequence's pauses are not under test here
        return IdentifyUnit(state, *link).ok ? QString() : QStringLiteral("no identification");
    }

    QTemporaryDir dir;
    VirtualUnit unit;
    std::unique_ptr<TerminalServer> server;
    QString address;
    AppState state;
    std::unique_ptr<PortLink> link;
    Recorder observer;
    std::unique_ptr<DeviceFunctions> fn;
};

// What the session tells its window: only the identification is read here.
struct Identified : SessionObserver {
    void functionStarted(const FunctionResult&) override {}
    void functionProgress(const FunctionResult&, int) override {}
    void functionFinished(const FunctionResult&) override {}
    void refused(const QString&) override {}
    void unitIdentified(const QByteArray& reply) override { replies << reply; }
    QList<QByteArray> replies;
};

#define START(rig, kind)                                                                           \
    do {                                                                                           \
        const QString why = (rig).start(kind);                                                     \
        if (why.contains(QLatin1String("not installed")))                                          \
            QSKIP(qPrintable(why));                                                                \
        QVERIFY2(why.isEmpty(), qPrintable(why));                                                  \
    } while (false)

} // namespace

class TestNetUnits : public QObject {
    Q_OBJECT
private slots:
    void programAndVerifyWholeDevice_data() {
        Columns<QString, bool>("kind", "random");
        // 0xFF is Telnet's IAC: an erased image is nothing but escapes.
        QTest::newRow("rfc2217, all FF") << "rfc2217" << false;
        QTest::newRow("rfc2217, random") << "rfc2217" << true;
        QTest::newRow("tcp, all FF") << "tcp" << false;
        QTest::newRow("tcp, random") << "tcp" << true;
    }
    void programAndVerifyWholeDevice() {
        auto [kind, random] = Row<QString, bool>("kind", "random");
        Rig rig({});
        START(rig, kind);
        QByteArray image(DeviceBytes, char(0xFF));
        QRandomGenerator generator(23);
        for (int i = 0; random && i < DeviceBytes; ++i)
            image[i] = char(generator.bounded(256));
        for (int i = 0; i < DeviceBytes; ++i)
            rig.state.Buffer[size_t(i)] = quint8(image[i]);

        QVERIFY(rig.fn->LoadSequence());
        QVERIFY(rig.fn->RunFunction(FnErase).succeeded());
        QVERIFY(rig.fn->RunFunction(FnProgram).succeeded());
        QVERIFY(rig.fn->RunFunction(FnVerify).succeeded());
        QCOMPARE(rig.observer.errors, 0);

        rig.link->close();
        rig.unit.stop(); // saves the memory
        QCOMPARE(ReadFile(rig.memoryPath()), image);
    }

    // ser2net ends in the middle of a Verify: the run ends at once as a lost
    // line, the reason names host, port and what the system said, and
    // Reconnect reaches the unit again once the server is back.
    void serverKilledMidRun_data() {
        Columns<QString>("kind");
        QTest::newRow("rfc2217") << "rfc2217";
        QTest::newRow("tcp") << "tcp";
    }
    void serverKilledMidRun() {
        auto [kind] = Row<QString>("kind");
        Rig rig({"--baud-emulation"}); // a whole Verify takes 17 s at the line's rate
        START(rig, kind);
        QSignalSpy lost(rig.link.get(), &PortLink::connectionLost);
        QTimer::singleShot(400, [&rig] { rig.server->kill(); });
        QElapsedTimer clock;
        clock.start();

        const FunctionResult result = rig.fn->RunFunction(FnVerify);

        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.outcome, Outcome::CommunicationFailure);
        QCOMPARE(result.linkFault, LinkFault::LineLost);
        QVERIFY(result.blocksDone > 0 && result.blocksDone < result.blocksTotal);
        const QString reason = rig.link->notConnectedReason();
        VERIFY_CONTAINS(reason, rig.address);
        VERIFY_CONTAINS(reason, QStringLiteral("port ") + rig.address.section(':', -1));
        VERIFY_CONTAINS(reason, "the connection was lost (");
        QTRY_COMPARE(lost.size(), 1);

        // The session's Reconnect (the windows' and varn-cli's) before the
        // server is back fails with the reason, then works.
        Identified events;
        ProgrammingSession session(rig.state, events, [&rig](const AppState&, Status* status) {
            return OpenUnitLink(rig.address, QString(), {}, status);
        });
        const Status refused = session.reconnect();
        VERIFY_CONTAINS(refused.message, "refused");
        QVERIFY(rig.server->start());
        const Status back = session.reconnect();
        QVERIFY2(back.ok, qPrintable(back.message));
        QCOMPARE(events.replies, QList<QByteArray>{"TVARN 20"});
    }
};

QTEST_MAIN(TestNetUnits)
#include "tst_netunits.moc"
