#include "frmbufferfill.h"

#include "core/bufferops.h"
#include "core/hextext.h"
#include "widgets/messagebox.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace varn {

namespace {

QLineEdit* HexBox(QWidget* parent, const char* name, const QString& text, int maxLength) {
    auto* box = new QLineEdit(text, parent);
    box->setObjectName(QLatin1String(name));
    box->setMaxLength(maxLength);
    // Wide enough for four digits whatever the font, no wider.
    box->setFixedWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("0000W")) + 12);
    return box;
}

} // namespace

frmBufferFill::frmBufferFill(qint32 start, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmBufferFill"));
    setWindowTitle(QStringLiteral("Buffer Fill"));
    setModal(true);

    txtFillWith = HexBox(this, "txtFillWith", QStringLiteral("FF"), 2);
    txtStart = HexBox(this, "txtStart", HexWord(quint16(std::clamp(start, 0, 0xFFFF))), 4);
    txtLength = HexBox(this, "txtLength", QStringLiteral("1"), 4);

    auto* grid = new QGridLayout;
    const struct {
        const char* caption;
        QLineEdit* box;
    } rows[] = {{"&Fill with:", txtFillWith}, {"&Start:", txtStart}, {"&Length:", txtLength}};
    int row = 0;
    for (const auto& item : rows) {
        auto* caption = new QLabel(QLatin1String(item.caption), this);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        caption->setBuddy(item.box);
        grid->addWidget(caption, row, 0);
        grid->addWidget(item.box, row, 1);
        grid->addWidget(new QLabel(QStringLiteral("H"), this), row, 2);
        ++row;
    }
    grid->setColumnStretch(3, 1);

    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdOk = new QPushButton(QStringLiteral("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setDefault(true);
    connect(cmdOk, &QPushButton::clicked, this, &frmBufferFill::cmdOk_Click);
    // Esc and the window frame end up in reject() too.
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdCancel);
    buttons->addWidget(cmdOk);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    setTabOrder(cmdCancel, cmdOk);
    setTabOrder(cmdOk, txtFillWith);
    setTabOrder(txtFillWith, txtStart);
    setTabOrder(txtStart, txtLength);
    cmdCancel->setFocus(Qt::OtherFocusReason);
    setFixedSize(sizeHint());
}

void frmBufferFill::cmdOk_Click() {
    const QString title = QStringLiteral("Buffer Fill");
    quint8 value = 0xFF;
    if (!txtFillWith->text().isEmpty())
        value = static_cast<quint8>(LenientHex(txtFillWith->text()).value_or(0) & 0xFF);

    const struct {
        QLineEdit* box;
        const char* what;
    } numbers[] = {{txtStart, "start"}, {txtLength, "length"}};
    qint32 read[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const std::optional<qint32> number = StrictHex(numbers[i].box->text());
        if (!number) {
            ShowMessage(this, title,
                        QStringLiteral("The %1 \"%2\" is not a hexadecimal number of one to "
                                       "four digits (0000 to FFFF).")
                            .arg(QLatin1String(numbers[i].what), numbers[i].box->text()),
                        MsgIcon::Warning);
            numbers[i].box->setFocus(Qt::OtherFocusReason);
            numbers[i].box->selectAll();
            return;
        }
        read[i] = *number;
    }

    const Status range = CheckFillRange(read[0], read[1]);
    if (!range) {
        ShowMessage(this, title, range.message, MsgIcon::Warning);
        txtLength->setFocus(Qt::OtherFocusReason);
        txtLength->selectAll();
        return;
    }

    result = FillRequest{value, read[0], read[1]};
    accept();
}

} // namespace varn
