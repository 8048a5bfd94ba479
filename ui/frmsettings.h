#pragma once

#include "core/appstate.h"

#include <QDialog>

class QRadioButton;

namespace varn {

// Chooses the serial port (COM1..COM8) used from the next start on.
class frmSettings : public QDialog {
    Q_OBJECT
public:
    frmSettings(AppState& state, QWidget* parent = nullptr);

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    AppState& state;
    QRadioButton* optComm[8] = {};
};

} // namespace varn
