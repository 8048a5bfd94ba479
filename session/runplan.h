#pragma once

#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "production/chipfield.h"
#include "production/runrecord.h"
#include "production/serialnumber.h"

#include <QList>
#include <QString>
#include <optional>

namespace varn {

struct ProductionJob;
struct SessionSettings;

// What a run does and how, whoever set it: a job file, varn.ini or a
// command line. Each front-end turns its own source into a plan, and the
// plan into a job or a session's settings, through the functions below: a
// field is mapped once, so a front-end cannot forget it.
struct RunPlan {
    // Function codes in order; FnAuto alone runs autoSteps.
    QList<int> functions;
    QList<int> autoSteps;
    // Units run at once; 0: not chosen (varn-cli: one per --port).
    int units = 0;
    // Only the Image, skip blank blocks, Allow Partial Image, the reply
    // time-out and retries.
    FunctionOptions functionOptions;
    // The image must have this CRC-32 before anything is sent.
    std::optional<quint32> expectCrc32;
    // Stop after this many failed chips in a row (0: never).
    int stopAfterFailures = 0;
    // The series whose numbers the chips get (when enabled) and where the
    // number goes; the log holds the series' own definition.
    SerialSettings serial;
    // The serial field may cover bytes the image defines.
    bool serialOverwrite = false;
    // Each programmed chip's own fields beyond its serial number.
    QList<ChipField> fields;
    // Why the configured fields cannot be used (every chip is refused).
    QString fieldsProblem;
    // The production log: off unless a location is given.
    std::optional<QString> logLocation;
    bool createLog = false;
    // What each record names: port, unit, image file, the line's fields.
    RunContext context;

    // Auto, with the Auto steps of setup (auto.cfg's, or an opened job's).
    void runAuto(const AppState& setup);
};

// A job's run onto plan: its functions, options, expected CRC-32, serial
// series (none when the job names none), per-chip fields, units, stop rule
// and image name. The log, the port and the line's fields stay plan's: they
// are the station's.
void ApplyJobToPlan(const ProductionJob& job, RunPlan& plan);

// The plan's run into a job whose image part is already made. A plan
// without an expected CRC-32 keeps the job's (the buffer's).
void PlanIntoJob(const RunPlan& plan, ProductionJob& job);

// What a session runs a plan with. Serial numbers go with the log, which
// hands them out. The front-end adds its hook and reconnect policy.
SessionSettings PlanSessionSettings(const RunPlan& plan);

// The desktop windows' plan as varn.ini sets it: the reply policy, Only the
// Image, Allow Partial Image, the per-chip fields, the production log when it
// is on, the serial series, the line's fields, and Auto with the
// configuration's steps. context: the main window's record context.
RunPlan DesktopRunPlan(const AppState& state, const RunContext& context = {});

} // namespace varn
