#pragma once

#include "core/appstate.h"

#include <QDialog>

class QLineEdit;
class QRadioButton;

namespace varn {

// Load options: file type and the two load offsets. The results go to
// FileIsHex, BufferOffset, FileOffset and FileLoadCancelled; every way out
// other than OK counts as Cancel, so the caller never acts on stale values.
class frmFileLoad : public QDialog {
    Q_OBJECT
public:
    frmFileLoad(AppState& state, const QString& path, QWidget* parent = nullptr);

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    AppState& state;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QLineEdit* txtBuffer = nullptr;
    QLineEdit* txtFile = nullptr;
};

} // namespace varn
