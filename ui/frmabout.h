#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace varn {

// The About box. At start-up it stands, without its OK button, as the screen
// the user sees while the port is opened and the unit answers; from
// Help > About it is a modal box closed with OK (Enter or Esc).
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr, bool startupScreen = false);

public slots:
    void cmdOk_Click();

private:
    QLabel* icon = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QPushButton* cmdOk = nullptr;
};

} // namespace varn
