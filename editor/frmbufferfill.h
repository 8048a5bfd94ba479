#pragma once

#include <QDialog>
#include <optional>

class QLineEdit;
class QPushButton;

namespace varn {

// What the fill dialog asks for.
struct FillRequest {
    quint8 value = 0xFF;
    qint32 start = 0;
    qint32 length = 0;
};

// Asks for a fill value, a start index and a length, all in hex; the start
// box begins at start (the caret's address). Result() holds what OK accepted;
// the caller fills the image.
class frmBufferFill : public QDialog {
    Q_OBJECT
public:
    explicit frmBufferFill(qint32 start = 0, QWidget* parent = nullptr);

    // Empty until OK accepted the boxes (and after Cancel).
    const std::optional<FillRequest>& Result() const { return result; }

private:
    void cmdOk_Click();

    std::optional<FillRequest> result;
    QLineEdit* txtFillWith = nullptr;
    QLineEdit* txtStart = nullptr;
    QLineEdit* txtLength = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;
};

} // namespace varn
