#include "frmfileload.h"

#include "core/hextext.h"
#include "files/imagefiles.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace varn {

frmFileLoad::frmFileLoad(const QString& path, QWidget* parent, Purpose purpose)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("frmFileLoad"));
    setWindowTitle(QString());
    const bool loading = purpose == Purpose::Load;

    const Twips tw(this);
    // Saving has no offsets: the dialog keeps the file type and the choice of
    // only the image's bytes, and narrows. Loading has a fourth type (ELF).
    setFixedSize(tw(loading ? 4935 : 2535), tw(2205));

    // Without a title bar the dialog draws its own edge.
    auto* edge = new QFrame(this);
    edge->setFrameStyle(QFrame::Panel | QFrame::Raised);
    edge->setGeometry(rect());

    auto* Frame1 = new QGroupBox(tr("File Type:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(tw(120, 120, loading ? 1815 : 2295, loading ? 1365 : 1095));
    Option1 = new QRadioButton(tr("Intel Hex"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(tw(240, 240, 1455, 255));
    Option2 = new QRadioButton(tr("Binary"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(tw(240, 510, 1455, 255));
    Option3 = new QRadioButton(tr("S-Record"), Frame1);
    Option3->setObjectName(QStringLiteral("Option3"));
    Option3->setGeometry(tw(240, 780, 1455, 255));
    if (loading) {
        optElf = new QRadioButton(tr("ELF"), Frame1);
        optElf->setObjectName(QStringLiteral("Option4"));
        optElf->setGeometry(tw(240, 1050, 1455, 255));
    } else {
        // Binary has no addresses to leave out.
        chkDefined = new QCheckBox(tr("Only the image's bytes"), this);
        chkDefined->setObjectName(QStringLiteral("chkDefined"));
        chkDefined->setGeometry(tw(240, 1305, 2175, 255));
        const auto follow = [this] { chkDefined->setEnabled(!Option2->isChecked()); };
        connect(Option2, &QRadioButton::toggled, this, follow);
    }

    if (loading) {
        auto* Frame2 = new QGroupBox(tr("Load Offset:"), this);
        Frame2->setObjectName(QStringLiteral("Frame2"));
        Frame2->setGeometry(tw(2040, 120, 2775, 1365));
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
    }

    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(120, 1650, 1095, 375));
    cmdCancel->setAutoDefault(false);
    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(loading ? 3720 : 1320, 1650, 1095, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);

    QWidget* order[] = {Option1,   Option2, Option3,   optElf, chkDefined,
                        txtBuffer, txtFile, cmdCancel, cmdOk};
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (!w)
            continue;
        if (previous)
            setTabOrder(previous, w);
        previous = w;
    }

    connect(cmdOk, &QPushButton::clicked, this, &frmFileLoad::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmFileLoad::cmdCancel_Click);

    switch (FormatForPath(path)) {
    case FileFormat::IntelHex:
        Option1->setChecked(true);
        break;
    case FileFormat::SRecord:
        Option3->setChecked(true);
        break;
    case FileFormat::Elf:
        (optElf ? optElf : Option2)->setChecked(true);
        break;
    case FileFormat::Binary:
        Option2->setChecked(true);
        break;
    }
    if (chkDefined)
        chkDefined->setEnabled(!Option2->isChecked());
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
        if (!f.box)
            continue; // saving: no offsets
        const Status read = ReadTypedOffset(f.box->text(), *f.value);
        if (!read) {
            ShowMessage(this, tr("File Load"), f.name + QStringLiteral(": ") + read.message,
                        MsgIcon::Warning);
            f.box->setFocus();
            f.box->selectAll();
            return;
        }
    }
    FileDialogChoice values;
    values.format = Option1->isChecked()            ? FileFormat::IntelHex
                    : Option3->isChecked()          ? FileFormat::SRecord
                    : optElf && optElf->isChecked() ? FileFormat::Elf
                                                    : FileFormat::Binary;
    values.bufferOffset = bufferOffset;
    values.fileOffset = fileOffset;
    values.definedOnly = chkDefined && chkDefined->isEnabled() && chkDefined->isChecked();
    chosen = values;
    accept();
}

void frmFileLoad::cmdCancel_Click() {
    reject();
}

} // namespace varn
