#include "frmsettings.h"

#include "core/usersettings.h"
#include "link/openlink.h"
#include "link/portinfo.h"
#include "link/replypolicy.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

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
#ifdef Q_OS_WIN
    const bool links = false;
#else
    const bool links = true;
#endif

    // The choices scroll where the screen is small; OK and Cancel stay below.
    auto* choices = new QWidget(this);
    auto* column = new QVBoxLayout(choices);
    column->setContentsMargins(0, 0, 0, 0);

    auto* Frame1 = new QGroupBox(tr("Select Port:"), choices);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    auto* portRows = new QGridLayout(Frame1);
    portRows->setColumnStretch(1, 1);
    auto* group = new QButtonGroup(this);
    for (int i = 0; i < 8; ++i) {
        auto* option = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), Frame1);
        option->setObjectName(QStringLiteral("optComm%1").arg(i));
        group->addButton(option, i);
        optComm[i] = option;
        auto* label = new QLabel(Frame1);
        label->setObjectName(QStringLiteral("portTarget%1").arg(i));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        portTargets[i] = label;
        portRows->addWidget(option, i, 0);
        portRows->addWidget(label, i, 1);
    }
    column->addWidget(Frame1);

    if (links) {
        auto* portTarget = new QGroupBox(tr("Point the selected port at:"), choices);
        portTarget->setObjectName(QStringLiteral("portTarget"));
        foundPorts = new QComboBox(portTarget);
        foundPorts->setObjectName(QStringLiteral("foundPorts"));
        // A long description must not widen the window past a small screen.
        foundPorts->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        foundPorts->setMinimumContentsLength(40);
        foundPorts->addItem(tr("(leave it as it is)"));
        for (const PortEntry& port : ListPorts(state.AppDir, SystemPorts())) {
            if (port.exists)
                foundPorts->addItem(PortChoiceText(port), port.path);
        }
        (new QVBoxLayout(portTarget))->addWidget(foundPorts);
        column->addWidget(portTarget);
    }

    // A unit on the network instead of COM1..COM8; varn.cfg keeps its number.
    const NetworkPortSettings network = ReadNetworkPortSettings(UserSettings(state));
    auto* networkFrame = new QGroupBox(tr("Or a unit on the network:"), choices);
    networkFrame->setObjectName(QStringLiteral("networkFrame"));
    useNetwork = new QRadioButton(tr("URL:"), networkFrame);
    useNetwork->setObjectName(QStringLiteral("useNetwork"));
    group->addButton(useNetwork, 8);
    networkAddress = new QLineEdit(network.address, networkFrame);
    networkAddress->setObjectName(QStringLiteral("networkAddress"));
    networkAddress->setPlaceholderText(tr("rfc2217://HOST:PORT or tcp://HOST:PORT"));
    networkAddress->setMinimumWidth(
        networkAddress->fontMetrics().horizontalAdvance(networkAddress->placeholderText()) + 16);
    networkAddress->setToolTip(tr("Neither carries authentication or encryption: across an "
                                  "untrusted network, reach the unit through an SSH tunnel."));
    // Typing an address chooses it.
    connect(networkAddress, &QLineEdit::textEdited, useNetwork,
            [this] { useNetwork->setChecked(true); });
    auto* latencyLabel = new QLabel(tr("Network latency (ms):"), networkFrame);
    latency = new QSpinBox(networkFrame);
    latency->setObjectName(QStringLiteral("latency"));
    latency->setRange(-1, ReplyPolicy::MaxTimeoutMs);
    latency->setSpecialValueText(tr("measured"));
    latency->setValue(network.latencyMs);
    latencyLabel->setBuddy(latency);
    auto* networkRows = new QGridLayout(networkFrame);
    networkRows->setColumnStretch(1, 1);
    networkRows->addWidget(useNetwork, 0, 0);
    networkRows->addWidget(networkAddress, 0, 1);
    networkRows->addWidget(latencyLabel, 1, 0);
    networkRows->addWidget(latency, 1, 1, Qt::AlignLeft);
    column->addWidget(networkFrame);

    auto* replyFrame = new QGroupBox(tr("Replies:"), choices);
    replyFrame->setObjectName(QStringLiteral("replyFrame"));
    const ReplyPolicy policy = ReadReplyPolicy(UserSettings(state));
    struct Row {
        const char* caption;
        const char* name;
        int low, high, value;
        QSpinBox** box;
    };
    const Row replyRows[] = {
        {"Time-out (ms):", "timeout", 1, ReplyPolicy::MaxTimeoutMs, policy.timeoutMs, &timeout},
        {"Retries:", "retries", 0, ReplyPolicy::MaxRetries, policy.retries, &retries},
    };
    auto* replies = new QHBoxLayout(replyFrame);
    for (const Row& r : replyRows) {
        auto* label = new QLabel(tr(r.caption), replyFrame);
        auto* box = new QSpinBox(replyFrame);
        box->setObjectName(QLatin1String(r.name));
        box->setRange(r.low, r.high);
        box->setValue(r.value);
        label->setBuddy(box);
        *r.box = box;
        replies->addWidget(label);
        replies->addWidget(box);
        replies->addSpacing(24);
    }
    replies->addStretch(1);
    column->addWidget(replyFrame);
    column->addStretch(1);

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdCancel);
    buttons->addWidget(cmdOk);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new ScrollPanel(choices, this), 1);
    layout->addLayout(buttons);

    connect(cmdOk, &QPushButton::clicked, this, &frmSettings::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);

    if (network.useAddress)
        useNetwork->setChecked(true);
    else if (state.PortNumber >= 1 && state.PortNumber <= 8)
        optComm[state.PortNumber - 1]->setChecked(true);
    showPortNumbers();
    FitToScreen(this);
}

void frmSettings::showPortNumbers() {
    for (int i = 0; i < 8; ++i)
        portTargets[i]->setText(PortNumberText(DescribePortNumber(i + 1, state.AppDir)));
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
    NetworkPortSettings network{useNetwork->isChecked(), networkAddress->text().trimmed(),
                                latency->value()};
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
    } else if (foundPorts && foundPorts->currentIndex() > 0) {
        const Status pointed =
            PointPortNumberAt(port, state.AppDir, foundPorts->currentData().toString());
        if (!pointed) {
            ShowMessage(this, windowTitle(), pointed.message, MsgIcon::Critical);
            return;
        }
    }
    state.PortNumber = port;
    UserSettings settings(state);
    WriteReplyPolicy(settings, ReplyPolicy{timeout->value(), retries->value()});
    WriteNetworkPortSettings(settings, network);
    if (QString error; !settings.sync(&error))
        ShowMessage(this, tr("Settings"), error, MsgIcon::Critical);
    accept();
}

void frmSettings::cmdCancel_Click() {
    reject();
}

} // namespace varn
