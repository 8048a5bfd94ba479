#pragma once

#include "core/appstate.h"

#include <QDialog>

class QListWidget;

namespace varn {

// Picks the device type from the table. exec() returns Accepted after OK or a
// double-click, with SelectedDevice set; Cancel changes nothing.
class frmSelectDevice : public QDialog {
    Q_OBJECT
public:
    frmSelectDevice(AppState& state, QWidget* parent = nullptr);

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    AppState& state;
    QListWidget* listDevice = nullptr;
};

} // namespace varn
