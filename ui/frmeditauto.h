#pragma once

#include "core/appstate.h"

#include <QDialog>

class QListWidget;
class QPushButton;

namespace varn {

// Composes the Auto sequence. OK stores it in AutoCount/AutoList and writes
// auto.cfg; a failed write is reported and the new sequence stays in memory.
class frmEditAuto : public QDialog {
    Q_OBJECT
public:
    frmEditAuto(AppState& state, QWidget* parent = nullptr);

public slots:
    void cmdMoveRight_Click();
    void cmdMoveLeft_Click();
    void cmdMoveLeftAll_Click();
    // The chosen step one place up (by -1) or down (by 1).
    void moveStep(int by);
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    void updateButtons();

    AppState& state;
    QListWidget* lstIn = nullptr;
    QListWidget* lstOut = nullptr;
    QPushButton* cmdMoveRight = nullptr;
    QPushButton* cmdMoveLeft = nullptr;
    QPushButton* cmdMoveLeftAll = nullptr;
    QPushButton* stepUpButton = nullptr;
    QPushButton* stepDownButton = nullptr;
};

} // namespace varn
