#include "frmfileload.h"

#include "core/hextext.h"
#include "files/imagefiles.h"
#include "ui/messagebox.h"
#include "ui/twips.h"

#include <QFontMetricsF>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace varn {

frmFileLoad::frmFileLoad(AppState& appState, const QString& path, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint), state(appState) {
    setObjectName(QStringLiteral("frmFileLoad"));
    setWindowTitle(QString());
    // Until OK has been pressed the answer is Cancel, however the dialog ends
    // (its buttons, Esc, a window-manager close, or the owner going away).
    state.FileLoadCancelled = true;

    const Twips tw(this);
    setFixedSize(tw(4935), tw(1935));

    // Without a title bar the dialog draws its own edge.
    auto* edge = new QFrame(this);
    edge->setFrameStyle(QFrame::Panel | QFrame::Raised);
    edge->setGeometry(rect());

    auto* Frame1 = new QGroupBox(tr("File Type:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(tw(120, 120, 1815, 1095));
    Option1 = new QRadioButton(tr("Intel Hex"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(tw(240, 300, 1455, 255));
    Option2 = new QRadioButton(tr("Binary"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(tw(240, 660, 1455, 255));

    auto* Frame2 = new QGroupBox(tr("Load Offset:"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(tw(2040, 120, 2775, 1095));
    auto* Label1 = new QLabel(tr("Buffer Address:"), Frame2);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(tw(120, 300, 1335, 255));
    txtBuffer = new QLineEdit(QStringLiteral("0"), Frame2);
    txtBuffer->setObjectName(QStringLiteral("txtBuffer"));
    txtBuffer->setGeometry(tw(1560, 285, 1095, 285));
    auto* Label2 = new QLabel(tr("File Address:"), Frame2);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(tw(120, 660, 1335, 255));
    txtFile = new QLineEdit(QStringLiteral("0"), Frame2);
    txtFile->setObjectName(QStringLiteral("txtFile"));
    txtFile->setGeometry(tw(1560, 645, 1095, 285));

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(120, 1380, 1095, 375));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(3720, 1380, 1095, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);

    setTabOrder(Option1, Option2);
    setTabOrder(Option2, txtBuffer);
    setTabOrder(txtBuffer, txtFile);
    setTabOrder(txtFile, cmdCancel);
    setTabOrder(cmdCancel, cmdOk);

    connect(cmdOk, &QPushButton::clicked, this, &frmFileLoad::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmFileLoad::cmdCancel_Click);

    if (PathLooksHex(path))
        Option1->setChecked(true);
    else
        Option2->setChecked(true);
}

void frmFileLoad::cmdOk_Click() {
    // Both offsets are checked before anything is stored, so a refused OK
    // leaves the previous results untouched.
    qint64 bufferOffset = 0;
    qint64 fileOffset = 0;
    const struct {
        QLineEdit* box;
        QString name;
        qint64* value;
    } fields[] = {{txtBuffer, tr("Buffer Address"), &bufferOffset},
                  {txtFile, tr("File Address"), &fileOffset}};
    for (const auto& f : fields) {
        const Status read = ReadTypedOffset(f.box->text(), *f.value);
        if (!read) {
            ShowMessage(this, tr("File Load"), f.name + QStringLiteral(": ") + read.message,
                        MsgIcon::Warning);
            f.box->setFocus();
            f.box->selectAll();
            return;
        }
    }
    state.FileIsHex = Option1->isChecked();
    state.BufferOffset = bufferOffset;
    state.FileOffset = fileOffset;
    state.FileLoadCancelled = false;
    accept();
}

void frmFileLoad::cmdCancel_Click() {
    reject();
}

} // namespace varn
