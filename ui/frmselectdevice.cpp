#include "frmselectdevice.h"

#include "widgets/twips.h"
#include <QFontMetricsF>
#include <QListWidget>
#include <QPushButton>

namespace varn {

frmSelectDevice::frmSelectDevice(AppState& appState, QWidget* parent)
    : QDialog(parent), state(appState) {
    setObjectName(QStringLiteral("frmSelectDevice"));
    setWindowTitle(tr("Select Device"));
    const Twips tw(this);
    setFixedSize(tw(3135), tw(2415));

    listDevice = new QListWidget(this);
    listDevice->setObjectName(QStringLiteral("listDevice"));
    listDevice->setSelectionMode(QAbstractItemView::SingleSelection);
    listDevice->setGeometry(tw(240, 120, 2655, 1620));

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(360, 1920, 975, 375));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(1800, 1920, 975, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);
    setTabOrder(listDevice, cmdCancel);
    setTabOrder(cmdCancel, cmdOk);

    connect(cmdOk, &QPushButton::clicked, this, &frmSelectDevice::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSelectDevice::cmdCancel_Click);
    connect(listDevice, &QListWidget::itemDoubleClicked, this, &frmSelectDevice::cmdOk_Click);

    const int count = qBound(0, int(state.DeviceCount), MaxDeviceCount);
    // Each type with its size, as the status bar gives it once chosen.
    for (int i = 1; i <= count; ++i)
        listDevice->addItem(
            QStringLiteral("%1   (%2H)")
                .arg(state.DeviceTable[i].Name,
                     QString::number(quint32(state.DeviceTable[i].Size), 16).toUpper()));
    // A hand-edited selection beyond the table names no line: select nothing.
    if (state.SelectedDevice >= 1 && state.SelectedDevice <= count)
        listDevice->setCurrentRow(state.SelectedDevice - 1);
    else
        listDevice->setCurrentRow(-1);
}

void frmSelectDevice::cmdOk_Click() {
    const QList<QListWidgetItem*> chosen = listDevice->selectedItems();
    state.SelectedDevice = chosen.isEmpty() ? 0 : qint16(listDevice->row(chosen.first()) + 1);
    accept();
}

void frmSelectDevice::cmdCancel_Click() {
    reject();
}

} // namespace varn
