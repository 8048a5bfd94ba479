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
    // Option1 to Option4 as the form has always named them; a format that
    // is only read is not offered for saving.
    int place = 0;
    for (const ImageFormatRow& row : ImageFormats()) {
        ++place;
        if (!loading && !row.write)
            continue;
        auto* button = new QRadioButton(tr(row.name), Frame1);
        button->setObjectName(QStringLiteral("Option%1").arg(place));
        button->setGeometry(tw(240, 240 + 270 * (place - 1), 1455, 255));
        formatButtons.append({row.format, button});
    }
    QRadioButton* binary = buttonOf(FileFormat::Binary);
    if (!loading) {
        // Binary has no addresses to leave out.
        definedOnly = new QCheckBox(tr("Only the image's bytes"), this);
        definedOnly->setObjectName(QStringLiteral("definedOnly"));
        definedOnly->setGeometry(tw(240, 1305, 2175, 255));
        const auto follow = [this, binary] { definedOnly->setEnabled(!binary->isChecked()); };
        connect(binary, &QRadioButton::toggled, this, follow);
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

    QList<QWidget*> order;
    for (const auto& format : formatButtons)
        order.append(format.second);
    order << definedOnly << txtBuffer << txtFile << cmdCancel << cmdOk;
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

    // A format the dialog does not offer here is saved as binary.
    QRadioButton* preselected = buttonOf(FormatForPath(path));
    (preselected ? preselected : binary)->setChecked(true);
    if (definedOnly)
        definedOnly->setEnabled(!binary->isChecked());
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
    values.format = FileFormat::Binary;
    for (const auto& [format, button] : formatButtons)
        if (button->isChecked())
            values.format = format;
    values.bufferOffset = bufferOffset;
    values.fileOffset = fileOffset;
    values.definedOnly = definedOnly && definedOnly->isEnabled() && definedOnly->isChecked();
    chosen = values;
    accept();
}

QRadioButton* frmFileLoad::buttonOf(FileFormat format) const {
    for (const auto& [shown, button] : formatButtons)
        if (shown == format)
            return button;
    return nullptr;
}

void frmFileLoad::cmdCancel_Click() {
    reject();
}

} // namespace varn
