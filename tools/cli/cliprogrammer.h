#pragma once

#include "cliconsole.h"
#include "clioptions.h"
#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "link/unitcommands.h"
#include "production/recordedrun.h"

#include <QString>
#include <memory>

namespace varn {

class SerialLink;

// Runs the operations of one command line on the shared engine: the same
// files, link, unit commands and device functions the desktop program uses,
// reporting to the console instead of windows.
class CliProgrammer : public FunctionObserver {
public:
    CliProgrammer(AppState& state, const CliOptions& options, CliConsole& console);
    ~CliProgrammer() override;

    // Applies --port and --device to the configuration read at start-up.
    // Returns ExitOk or ExitUsage (after printing why).
    int applyOverrides();
    // Runs every operation in order and stops at the first that fails.
    // Returns the exit status.
    int run();
    // The serial number the run's chip was given (with --log and a serial
    // number setting), or -1.
    qint64 serialNumber() const;

    // FunctionObserver
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason) override;

private:
    int runOperation(const CliOperation& operation);
    int loadFile(const QString& path);
    int saveFile(const QString& path);
    int diffFile(const QString& path);
    // --expect-crc32, before the first device function: ExitOk or ExitFile.
    int checkImageCrc();
    int connectUnit();
    int runDeviceFunction(int index);
    int openLog();
    int exportRecords(const QString& path);
    // Writes the run's record, if one was started; returns the run's status,
    // or ExitLog when a record that could not be written turns a good run bad.
    int finishRecord(int status);
    FileFormat fileFormat(const QString& path) const;

    AppState& state;
    const CliOptions& options;
    CliConsole& console;

    std::unique_ptr<SerialLink> link;
    std::unique_ptr<DeviceFunctions> functions;
    Identification identification;
    int connectStatus = 0;
    bool loadSequenceSent = false;
    bool imageCrcChecked = false;

    // The production log (--log, or export) and the record of this run.
    std::unique_ptr<ProductionLog> log;
    std::unique_ptr<RecordedRun> recorded;
    QString imageFile;

    // The bar's label while a function runs; empty once it has finished.
    QString progressLabel;
};

// The whole command: parse, --help, start-up reading, operations.
int RunCli(const QStringList& arguments);

} // namespace varn
