#pragma once

#include "core/appstate.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace varn {

// Chooses the serial port (COM1..COM8) used from the next start on, shows
// what each number stands for in the working folder, and can point the
// chosen number at one of the ports found (a comN link on Linux).
// Or a unit on the network: a tcp:// or rfc2217:// address and its latency,
// kept in varn.ini while varn.cfg keeps the number. Also how long and how
// often a block request waits for its reply (kept in varn.ini).
class frmSettings : public QDialog {
    Q_OBJECT
public:
    frmSettings(AppState& state, QWidget* parent = nullptr);

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    void showPortNumbers();

    AppState& state;
    QRadioButton* optComm[8] = {};
    QLabel* portTargets[8] = {};
    QComboBox* foundPorts = nullptr;
    QRadioButton* useNetwork = nullptr;
    QLineEdit* networkAddress = nullptr;
    QSpinBox* latency = nullptr;
    QSpinBox* timeout = nullptr;
    QSpinBox* retries = nullptr;
};

} // namespace varn
