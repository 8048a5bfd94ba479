#pragma once

#include "production/productionlog.h"

#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace varn {

// The dialogs the commands ask through, so that tests can answer them. The
// file dialogs return the full path chosen, or an empty text when the user
// cancelled.
struct FileDialogs {
    std::function<QString(QWidget* parent)> showOpen;
    std::function<QString(QWidget* parent)> showSave;
    // File > Open Job (save false) and Save Job: a job file's path.
    std::function<QString(QWidget* parent, bool save)> showJob;
    // Go To and Find ask for one line of text; empty when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& label)> askText;
    // Operator mode's start: operator, lot and work order; empty when cancelled.
    std::function<std::optional<LineFields>(QWidget* parent, const LineFields& given)> askShift;
};

class RecentFiles;

// The desktop's dialogs: they start in the folder of the file last loaded or
// saved (recent outlives them).
FileDialogs DesktopFileDialogs(const RecentFiles& recent);

} // namespace varn
