#pragma once

#include "core/appstate.h"
#include "production/productionlog.h"
#include "ui/runwindow.h"

#include <QList>
#include <memory>
#include <optional>

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

namespace varn {

class UnitGroup;

// The Production window in operator mode: a job's units side by side, one
// tile each with a large PASS or FAIL and why, the serial number just given,
// and the counts and yield of every unit together; Start (Space or Enter)
// puts the next chip on every unit at once, Stop ends them at the next block.
// Nothing here changes the job: what runs and how is fixed by it. The window
// only shows the group's board.
class frmOperator : public RunWindow {
    Q_OBJECT
public:
    // group: prepared with the job's plan; image: the job's buffer, device
    // and Auto steps. heading: the job, image and CRC-32 line; shift: lot,
    // work order and operator as every record names them.
    frmOperator(UnitGroup& group, const AppState& image, const QString& heading,
                const LineFields& shift, QWidget* parent = nullptr);

    bool isRunning() const override;
    // The operator chose Leave Operator Mode (the caller confirms it).
    bool LeaveWanted() const { return leave; }

public slots:
    void startClicked();

private:
    struct Tile {
        QFrame* frame = nullptr;
        QLabel* port = nullptr;
        QLabel* state = nullptr;
        QLabel* reason = nullptr;
        QLabel* serial = nullptr;
        QProgressBar* progress = nullptr;
    };
    void stopChip() override;
    void showBoard();

    UnitGroup& group;
    // Taken once: operator mode keeps the job's image as it is while it lasts.
    const std::shared_ptr<const AppState> image;
    bool leave = false;
    QList<Tile> tiles;
    QLabel* countsText = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* leaveButton = nullptr;
};

// The small dialog at the start of operator mode: operator, lot and work
// order, given filled in; empty when cancelled. OK waits for ShiftProblem to
// have nothing to say.
std::optional<LineFields> AskShift(QWidget* parent, const LineFields& given);

} // namespace varn
