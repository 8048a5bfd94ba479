#include "link/unitcommands.h"
#include "support/rows.h"
#include "tools/scriptedunit/scriptedtransport.h"

#include <QTest>

using namespace varn;
using namespace varn::test;

class TestUnitCommands : public QObject {
    Q_OBJECT
private slots:
    void identify_data() {
        Columns<bool, QByteArray, bool>("open", "answer", "identified");
        QTest::newRow("no answer") << true << QByteArray() << false;
        QTest::newRow("7 bytes") << true << QByteArray("TABCD 2") << false;
        QTest::newRow("8 bytes") << true << QByteArray("TABCD 21") << true;
        QTest::newRow("9 bytes") << true << QByteArray("TABCD 21x") << false;
        QTest::newRow("closed port") << false << QByteArray("TABCD 21") << false;
    }

    void identify() {
        auto [open, answer, identified] =
            Row<bool, QByteArray, bool>("open", "answer", "identified");
        AppState state;
        state.UnitIdentified = !identified; // must be overwritten either way
        ScriptedTransport unit;
        unit.setOpen(open);
        unit.queueRawReply(answer);

        const Identification id = IdentifyUnit(state, unit);

        QCOMPARE(unit.sentBytes(), open ? QByteArray("\x01T") : QByteArray());
        if (open) // the whole second, even with the answer there
            QCOMPARE(unit.clockUs(), 1000000);
        QCOMPARE(id.ok, identified);
        QCOMPARE(state.UnitIdentified, identified);
        // A reply of the wrong length is not taken.
        QCOMPARE(id.reply, identified ? answer : QByteArray());
        QCOMPARE(unit.takeAll(), identified || !open ? QByteArray() : answer);
    }

    void report_data() {
        Columns<QByteArray, QString>("reply", "text");
        QTest::newRow("name and version")
            << QByteArray("xABCDx21") << "Device: ABCD\r\nVersion 2.1";
        QTest::newRow("bytes 0 and 5 ignored")
            << QByteArray("_VARN_20").replace('_', '\0') << "Device: VARN\r\nVersion 2.0";
        QTest::newRow("latin-1 characters") << QByteArray("T\xC4\xD6\xDC\xDF \xB2\xB3")
                                            << QString::fromUtf8("Device: ÄÖÜß\r\nVersion ².³");
    }

    void report() {
        auto [reply, text] = Row<QByteArray, QString>("reply", "text");
        QCOMPARE(IdentificationReport(reply), text);
    }

    void runReset_data() {
        // choices: R = Run, S = Reset (menu order)
        Columns<bool, QString, QByteArray, QString, QString>("open", "choices", "wire", "states",
                                                             "changes");
        QTest::newRow("reset run reset")
            << true << "SRS" << QByteArray("\x01-\x01+\x01-") << "RESET RUN RESET"
            << "111";
        QTest::newRow("run at start sends nothing") << true << "R" << QByteArray() << "RUN"
                                                    << "0";
        QTest::newRow("reset twice") << true << "SS" << QByteArray("\x01-") << "RESET RESET"
                                     << "10";
        QTest::newRow("closed port: state only") << false << "SR" << QByteArray() << "RESET RUN"
                                                 << "11";
    }

    void runReset() {
        auto [open, choices, wire, states, changes] =
            Row<bool, QString, QByteArray, QString, QString>("open", "choices", "wire", "states",
                                                             "changes");
        AppState state;
        ScriptedTransport unit;
        unit.setOpen(open);
        QCOMPARE(UnitStateText(state), QStringLiteral("RUN"));
        QStringList shown;
        QString changed;
        for (QChar c : choices) {
            const bool did = c == 'R' ? DeviceRun(state, unit) : DeviceReset(state, unit);
            changed += did ? '1' : '0';
            shown << UnitStateText(state);
        }
        QCOMPARE(unit.sentBytes(), wire);
        QCOMPARE(shown.join(' '), states);
        QCOMPARE(changed, changes);
    }
};

QTEST_GUILESS_MAIN(TestUnitCommands)
#include "tst_unitcommands.moc"
