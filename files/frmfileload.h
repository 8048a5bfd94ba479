#pragma once

#include "core/appstate.h"

#include <QDialog>

class QLineEdit;
class QRadioButton;

namespace varn {

// Load options: file type and the two load offsets. The results go to
// FileType, BufferOffset, FileOffset and FileLoadCancelled; every way out
// other than OK counts as Cancel, so the caller never acts on stale values.
// For saving only the file type applies: the offsets are neither shown nor
// changed.
class frmFileLoad : public QDialog {
    Q_OBJECT
public:
    enum class Purpose { Load, Save };
    frmFileLoad(AppState& state, const QString& path, QWidget* parent = nullptr,
                Purpose purpose = Purpose::Load);

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    AppState& state;
    QRadioButton* Option1 = nullptr;
    QRadioButton* Option2 = nullptr;
    QRadioButton* Option3 = nullptr;
    QLineEdit* txtBuffer = nullptr;
    QLineEdit* txtFile = nullptr;
};

} // namespace varn
