#pragma once

#include "core/appstate.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

namespace varn {

// Options > Production Log...: whether runs are recorded, where the log
// lives, the serial number settings, a connection test and the last records.
// Everything is kept in varn.ini (never a password: PostgreSQL's own
// ~/.pgpass or PGPASSWORD supply it).
class frmProductionLog : public QDialog {
    Q_OBJECT
public:
    frmProductionLog(AppState& state, QWidget* parent = nullptr);

public slots:
    void cmdTest_Click();
    void cmdOK_Click();

private:
    void showRecords();
    QString location() const;

    AppState& state;
    QCheckBox* chkEnabled = nullptr;
    QLineEdit* txtLocation = nullptr;
    QLabel* lblTest = nullptr;
    QCheckBox* chkSerial = nullptr;
    QLineEdit* txtAddress = nullptr;
    QSpinBox* spnLength = nullptr;
    QComboBox* cboOrder = nullptr;
    QComboBox* cboEncoding = nullptr;
    QLineEdit* txtFirst = nullptr;
    QLineEdit* txtStep = nullptr;
    QTableWidget* tblRecords = nullptr;
};

} // namespace varn
