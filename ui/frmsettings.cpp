#include "frmsettings.h"

#include "ui/twips.h"
#include <QButtonGroup>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

namespace varn {

frmSettings::frmSettings(AppState& appState, QWidget* parent) : QDialog(parent), state(appState) {
    setObjectName(QStringLiteral("frmSettings"));
    setWindowTitle(tr("Settings"));
    const Twips tw(this);
    setFixedSize(tw(3015), tw(2415));

    auto* Frame1 = new QGroupBox(tr("Select Port:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(tw(240, 120, 2535, 1695));
    auto* group = new QButtonGroup(this);
    const int rowTops[] = {240, 600, 960, 1320};
    for (int i = 0; i < 8; ++i) {
        auto* option = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame1);
        option->setObjectName(QStringLiteral("optComm%1").arg(i));
        option->setGeometry(tw(i < 4 ? 120 : 1320, rowTops[i % 4], 855, 255));
        group->addButton(option, i);
        optComm[i] = option;
    }

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(360, 1920, 975, 375));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(1680, 1920, 975, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);

    connect(cmdOk, &QPushButton::clicked, this, &frmSettings::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);

    if (state.PortNumber >= 1 && state.PortNumber <= 8)
        optComm[state.PortNumber - 1]->setChecked(true);
}

void frmSettings::cmdOk_Click() {
    // The last port needs no button of its own: nothing chosen means COM8.
    qint16 port = 8;
    for (int i = 0; i < 7; ++i) {
        if (optComm[i]->isChecked()) {
            port = qint16(i + 1);
            break;
        }
    }
    state.PortNumber = port;
    accept();
}

void frmSettings::cmdCancel_Click() {
    reject();
}

} // namespace varn
