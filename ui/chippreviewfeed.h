#pragma once

#include "production/chippreview.h"
#include "session/programmingsession.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace varn {

class AppState;
class WindowPlacement;

// The next chip's per-chip fields for the buffer window and the memory map,
// made of varn.ini's settings or, with a job opened, of the job's.
class ChipPreviewFeed : public QObject {
    Q_OBJECT
public:
    // jobSettings: the session settings the opened job's runs use; empty
    // without a job.
    ChipPreviewFeed(const AppState& state, const WindowPlacement& windows,
                    std::function<std::optional<SessionSettings>()> jobSettings,
                    QObject* parent = nullptr);

    // Gives the open windows the fields the next chip would get; readLog:
    // the settings, the device or the log's numbers may have changed (else
    // only the image did).
    void show(bool readLog);

private:
    // The log may be a database across the network: its numbers are read
    // off the window thread, and only the newest read is shown.
    void read();
    void arrived(const ChipPreviewSource& read, const QString& readNote);
    void render(bool fieldsMoved);

    const AppState& state;
    const WindowPlacement& windows;
    std::function<std::optional<SessionSettings>()> jobSettings;
    // What the next chip's fields are made of, read from varn.ini and the
    // log when a window that shows them opens or the settings change.
    std::optional<ChipPreviewSource> source;
    QString note;
    quint64 reads = 0; // reads started; the last one is the one wanted
};

} // namespace varn
