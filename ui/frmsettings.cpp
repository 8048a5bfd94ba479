#include "frmsettings.h"

#include "core/usersettings.h"
#include "link/openlink.h"
#include "link/portinfo.h"
#include "link/replypolicy.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

namespace varn {

namespace {

// One line per port found: the name that survives replugging first.
QString PortChoiceText(const PortEntry& port) {
    QString text = port.stableName.isEmpty() ? port.path : port.stableName;
    if (!port.description.isEmpty())
        text += QStringLiteral("  ") + port.description;
    if (!port.comEntries.isEmpty())
        text += QStringLiteral("  (now ") + port.comEntries.join(QStringLiteral(", ")) +
                QLatin1Char(')');
    if (port.exists && !port.accessible)
        text += QStringLiteral("  [no access: group %1]").arg(port.group);
    return text;
}

} // namespace

frmSettings::frmSettings(AppState& appState, QWidget* parent) : QDialog(parent), state(appState) {
    setObjectName(QStringLiteral("frmSettings"));
    setWindowTitle(tr("Settings"));
    const Twips tw(this);
#ifdef Q_OS_WIN
    const bool links = false;
#else
    const bool links = true;
#endif
    const int rows = 8 * 330;
    const int portsTop = 240 + rows + 240;
    const int networkTop = portsTop + (links ? 900 : 0);
    const int repliesTop = networkTop + 1200;
    const int buttonsTop = repliesTop + 780;
    setFixedSize(tw(7455), tw(buttonsTop + 495));

    auto* Frame1 = new QGroupBox(tr("Select Port:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(tw(240, 120, 6975, rows + 360));
    auto* group = new QButtonGroup(this);
    for (int i = 0; i < 8; ++i) {
        auto* option = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame1);
        option->setObjectName(QStringLiteral("optComm%1").arg(i));
        option->setGeometry(tw(120, 240 + i * 330, 855, 255));
        group->addButton(option, i);
        optComm[i] = option;
        auto* label = new QLabel(Frame1);
        label->setObjectName(QStringLiteral("lblPort%1").arg(i));
        label->setGeometry(tw(1080, 240 + i * 330, 5775, 255));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lblPort[i] = label;
    }

    if (links) {
        auto* Frame2 = new QGroupBox(tr("Point the selected port at:"), this);
        Frame2->setObjectName(QStringLiteral("Frame2"));
        Frame2->setGeometry(tw(240, portsTop, 6975, 780));
        cboPorts = new QComboBox(Frame2);
        cboPorts->setObjectName(QStringLiteral("cboPorts"));
        cboPorts->setGeometry(tw(120, 300, 6735, 330));
        cboPorts->addItem(tr("(leave it as it is)"));
        for (const PortEntry& port : ListPorts(state.AppDir, SystemPorts())) {
            if (port.exists)
                cboPorts->addItem(PortChoiceText(port), port.path);
        }
    }

    // A unit on the network instead of COM1..COM8; varn.cfg keeps its number.
    const NetworkPortSettings network = ReadNetworkPortSettings(UserSettings(state));
    auto* Frame4 = new QGroupBox(tr("Or a unit on the network:"), this);
    Frame4->setObjectName(QStringLiteral("Frame4"));
    Frame4->setGeometry(tw(240, networkTop, 6975, 1080));
    optNetwork = new QRadioButton(tr("URL:"), Frame4);
    optNetwork->setObjectName(QStringLiteral("optNetwork"));
    optNetwork->setGeometry(tw(120, 300, 855, 255));
    group->addButton(optNetwork, 8);
    txtAddress = new QLineEdit(network.address, Frame4);
    txtAddress->setObjectName(QStringLiteral("txtAddress"));
    txtAddress->setGeometry(tw(1080, 270, 5775, 315));
    txtAddress->setPlaceholderText(tr("rfc2217://HOST:PORT or tcp://HOST:PORT"));
    txtAddress->setToolTip(tr("Neither carries authentication or encryption: across an "
                              "untrusted network, reach the unit through an SSH tunnel."));
    // Typing an address chooses it.
    connect(txtAddress, &QLineEdit::textEdited, optNetwork,
            [this] { optNetwork->setChecked(true); });
    auto* latencyLabel = new QLabel(tr("Network latency (ms):"), Frame4);
    latencyLabel->setGeometry(tw(120, 690, 2200, 285));
    txtLatency = new QSpinBox(Frame4);
    txtLatency->setObjectName(QStringLiteral("txtLatency"));
    txtLatency->setRange(-1, ReplyPolicy::MaxTimeoutMs);
    txtLatency->setSpecialValueText(tr("measured"));
    txtLatency->setValue(network.latencyMs);
    txtLatency->setGeometry(tw(2400, 660, 1400, 315));
    latencyLabel->setBuddy(txtLatency);

    auto* Frame3 = new QGroupBox(tr("Replies:"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    Frame3->setGeometry(tw(240, repliesTop, 6975, 660));
    const ReplyPolicy policy = ReadReplyPolicy(UserSettings(state));
    struct Row {
        const char* caption;
        const char* name;
        int left, low, high, value;
        QSpinBox** box;
    };
    const Row replyRows[] = {
        {"Time-out (ms):", "txtTimeout", 120, 1, ReplyPolicy::MaxTimeoutMs, policy.timeoutMs,
         &txtTimeout},
        {"Retries:", "txtRetries", 3600, 0, ReplyPolicy::MaxRetries, policy.retries, &txtRetries},
    };
    for (const Row& r : replyRows) {
        auto* label = new QLabel(tr(r.caption), Frame3);
        label->setGeometry(tw(r.left, 270, 1275, 285));
        auto* box = new QSpinBox(Frame3);
        box->setObjectName(QLatin1String(r.name));
        box->setRange(r.low, r.high);
        box->setValue(r.value);
        box->setGeometry(tw(r.left + 1320, 240, 1095, 315));
        label->setBuddy(box);
        *r.box = box;
    }

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(4440, buttonsTop, 1215, 375));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(6000, buttonsTop, 1215, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);

    connect(cmdOk, &QPushButton::clicked, this, &frmSettings::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);

    if (network.useAddress)
        optNetwork->setChecked(true);
    else if (state.PortNumber >= 1 && state.PortNumber <= 8)
        optComm[state.PortNumber - 1]->setChecked(true);
    showPortNumbers();
}

void frmSettings::showPortNumbers() {
    for (int i = 0; i < 8; ++i)
        lblPort[i]->setText(PortNumberText(DescribePortNumber(i + 1, state.AppDir)));
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
    NetworkPortSettings network{optNetwork->isChecked(), txtAddress->text().trimmed(),
                                txtLatency->value()};
    if (network.useAddress) {
        PortAddress address;
        const Status parsed = ParsePortAddress(network.address, address);
        if (!parsed || !address.isNetwork()) {
            ShowMessage(this, windowTitle(),
                        parsed ? tr("Give a unit on the network as rfc2217://HOST:PORT or "
                                    "tcp://HOST:PORT.")
                               : parsed.message,
                        MsgIcon::Critical);
            return;
        }
        port = state.PortNumber; // varn.cfg keeps its number
    } else if (cboPorts && cboPorts->currentIndex() > 0) {
        const Status pointed =
            PointPortNumberAt(port, state.AppDir, cboPorts->currentData().toString());
        if (!pointed) {
            ShowMessage(this, windowTitle(), pointed.message, MsgIcon::Critical);
            return;
        }
    }
    state.PortNumber = port;
    UserSettings settings(state);
    WriteReplyPolicy(settings, ReplyPolicy{txtTimeout->value(), txtRetries->value()});
    WriteNetworkPortSettings(settings, network);
    if (QString error; !settings.sync(&error))
        ShowMessage(this, tr("Settings"), error, MsgIcon::Critical);
    accept();
}

void frmSettings::cmdCancel_Click() {
    reject();
}

} // namespace varn
