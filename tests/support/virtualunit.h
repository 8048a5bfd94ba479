#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace varn::test {

// The virtual programmer unit (tools/varn-unit) as a child process on a
// pseudo-terminal, for tests that talk to a unit over a real serial line.
//
//     VirtualUnit unit({"--name", "ABCD"});
//     QVERIFY2(unit.start(), qPrintable(unit.error()));
//     link.openPath(unit.path(), "COM1");
//     ...
//     QCOMPARE(unit.frames().last(), QByteArray("\x01\x54", 2));
//
// The unit always logs every frame it receives to logPath() (a file in a
// temporary folder of its own); frames() reads that log back. Any other
// varn-unit option may be given in the arguments (see the README's options),
// e.g. "--no-answer", "1" or "--link", dir + "/com1". The destructor stops
// the unit.
class VirtualUnit {
public:
    explicit VirtualUnit(const QStringList& arguments = {});
    ~VirtualUnit();
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    // Starts the unit and waits (up to timeoutMs) for it to print its
    // pseudo-terminal path. False with error() set when it did not.
    bool start(int timeoutMs = 5000);
    // The pseudo-terminal the host opens (e.g. /dev/pts/7).
    QString path() const { return terminal; }
    QString logPath() const;
    // A folder that lives as long as this object (for --link, --memory, ...).
    QString tempDir() const { return scratch.path(); }
    // Every complete frame received so far, length byte included, in order.
    QList<QByteArray> frames() const;
    // Waits until at least n frames are logged; false after timeoutMs.
    bool waitForFrames(int n, int timeoutMs = 3000) const;
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    qint64 pid() const { return process.processId(); }
    // Waits for the unit to end by itself (e.g. after --close-after).
    bool waitForExit(int timeoutMs = 3000);
    // Ends the unit with SIGTERM (it saves --save-memory and removes its
    // --link) and waits for it to exit.
    void stop();
    QString error() const { return failure; }
    // The unit's standard error output (diagnostics when a start failed).
    QString errorOutput();

private:
    bool fail(const QString& error);
    QTemporaryDir scratch;
    QStringList unitArguments;
    QProcess process;
    QString terminal;
    QString failure;
};

} // namespace varn::test
