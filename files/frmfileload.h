#pragma once

#include "core/appstate.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <optional>

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace varn {

// What the dialog's OK hands back.
struct FileDialogChoice {
    FileFormat format = FileFormat::Binary;
    qint64 fileOffset = 0; // loading only
    qint64 bufferOffset = 0;
    bool definedOnly = false; // saving only: only the image's bytes
};

// Load options: file type and the two load offsets; save options: file type
// and whether only the image's bytes are written. choice() holds the values
// once OK was pressed; every other way out counts as Cancel, so the caller
// never acts on stale values. ELF is offered for loading only.
class frmFileLoad : public QDialog {
    Q_OBJECT
public:
    enum class Purpose { Load, Save };
    frmFileLoad(const QString& path, QWidget* parent = nullptr, Purpose purpose = Purpose::Load);

    const std::optional<FileDialogChoice>& choice() const { return chosen; }

public slots:
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    std::optional<FileDialogChoice> chosen;
    // One per image format the dialog offers, in the table's order.
    QList<QPair<FileFormat, QRadioButton*>> formatButtons;
    QRadioButton* buttonOf(FileFormat format) const;
    QCheckBox* definedOnly = nullptr;
    QLineEdit* txtBuffer = nullptr;
    QLineEdit* txtFile = nullptr;
};

} // namespace varn
