#pragma once

#include "core/appstate.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace varn {

// Asks for a fill value, a start index and a length, all in hex. The result
// goes to FillConfirmed, FillByte, FillStart and FillLength of the state; the
// caller writes the buffer and redraws after the dialog has closed.
class frmBufferFill : public QDialog {
    Q_OBJECT
public:
    explicit frmBufferFill(AppState& state, QWidget* parent = nullptr);

private:
    void cmdOk_Click();

    AppState& state;
    QLineEdit* txtFillWith = nullptr;
    QLineEdit* txtStart = nullptr;
    QLineEdit* txtLength = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
};

} // namespace varn
