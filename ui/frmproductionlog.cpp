#include "frmproductionlog.h"

#include "core/hextext.h"
#include "core/usersettings.h"
#include "production/productionlog.h"
#include "widgets/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace varn {

namespace {

constexpr int ShownRecords = 20;

} // namespace

frmProductionLog::frmProductionLog(AppState& state, QWidget* parent)
    : QDialog(parent), state(state) {
    setWindowTitle(QStringLiteral("Production Log"));
    const UserSettings settings(state);
    const SerialSettings serial = SerialSettings::load(settings);

    chkEnabled = new QCheckBox(QStringLiteral("Write a record of every run"), this);
    chkEnabled->setObjectName(QStringLiteral("chkEnabled"));
    chkEnabled->setChecked(LogEnabled(settings));
    txtLocation = new QLineEdit(settings.value(QStringLiteral("log/url")).toString(), this);
    txtLocation->setObjectName(QStringLiteral("txtLocation"));
    txtLocation->setPlaceholderText(QString::fromLatin1(DefaultLogFileName) +
                                    QStringLiteral(" or postgresql://user@host/dbname"));
    auto* cmdTest = new QPushButton(QStringLiteral("Test Connection"), this);
    cmdTest->setObjectName(QStringLiteral("cmdTest"));
    lblTest = new QLabel(this);
    lblTest->setObjectName(QStringLiteral("lblTest"));
    lblTest->setWordWrap(true);

    auto* logBox = new QGroupBox(QStringLiteral("Log"), this);
    auto* logForm = new QFormLayout(logBox);
    logForm->addRow(chkEnabled);
    auto* where = new QHBoxLayout;
    where->addWidget(txtLocation, 1);
    where->addWidget(cmdTest);
    logForm->addRow(QStringLiteral("File or URL:"), where);
    logForm->addRow(lblTest);

    chkSerial = new QCheckBox(QStringLiteral("Give each programmed chip a serial number"), this);
    chkSerial->setObjectName(QStringLiteral("chkSerial"));
    chkSerial->setChecked(serial.enabled);
    txtAddress = new QLineEdit(HexWord(qint32(serial.address)), this);
    txtAddress->setObjectName(QStringLiteral("txtAddress"));
    spnLength = new QSpinBox(this);
    spnLength->setObjectName(QStringLiteral("spnLength"));
    spnLength->setRange(1, 8);
    spnLength->setValue(serial.length);
    cboOrder = new QComboBox(this);
    cboOrder->setObjectName(QStringLiteral("cboOrder"));
    cboOrder->addItems({QStringLiteral("Most significant byte first"),
                        QStringLiteral("Least significant byte first")});
    cboOrder->setCurrentIndex(serial.order == SerialSettings::Order::MostSignificantFirst ? 0 : 1);
    cboEncoding = new QComboBox(this);
    cboEncoding->setObjectName(QStringLiteral("cboEncoding"));
    cboEncoding->addItems(
        {QStringLiteral("Binary"), QStringLiteral("Packed BCD"), QStringLiteral("ASCII decimal")});
    cboEncoding->setCurrentIndex(int(serial.encoding));
    txtFirst = new QLineEdit(QString::number(serial.first), this);
    txtFirst->setObjectName(QStringLiteral("txtFirst"));
    txtStep = new QLineEdit(QString::number(serial.step), this);
    txtStep->setObjectName(QStringLiteral("txtStep"));

    auto* serialBox = new QGroupBox(QStringLiteral("Serial number"), this);
    auto* serialForm = new QFormLayout(serialBox);
    serialForm->addRow(chkSerial);
    serialForm->addRow(QStringLiteral("Address (hex):"), txtAddress);
    serialForm->addRow(QStringLiteral("Length (bytes):"), spnLength);
    serialForm->addRow(QStringLiteral("Byte order:"), cboOrder);
    serialForm->addRow(QStringLiteral("Encoding:"), cboEncoding);
    serialForm->addRow(QStringLiteral("First number:"), txtFirst);
    serialForm->addRow(QStringLiteral("Step:"), txtStep);

    tblRecords = new QTableWidget(0, 6, this);
    tblRecords->setObjectName(QStringLiteral("tblRecords"));
    tblRecords->setHorizontalHeaderLabels({QStringLiteral("Time (UTC)"), QStringLiteral("Result"),
                                           QStringLiteral("Serial"), QStringLiteral("Device"),
                                           QStringLiteral("Functions"), QStringLiteral("Failure")});
    tblRecords->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblRecords->horizontalHeader()->setStretchLastSection(true);
    tblRecords->verticalHeader()->hide();
    tblRecords->setMinimumHeight(180);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logBox);
    layout->addWidget(serialBox);
    layout->addWidget(new QLabel(QStringLiteral("Last records:"), this));
    layout->addWidget(tblRecords, 1);
    layout->addWidget(buttons);
    resize(640, 620);

    connect(cmdTest, &QPushButton::clicked, this, &frmProductionLog::cmdTest_Click);
    connect(buttons, &QDialogButtonBox::accepted, this, &frmProductionLog::cmdOK_Click);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    if (chkEnabled->isChecked())
        showRecords();
}

QString frmProductionLog::location() const {
    const QString text = txtLocation->text().trimmed();
    return text.isEmpty() ? state.ConfigPath(QString::fromLatin1(DefaultLogFileName)) : text;
}

void frmProductionLog::cmdTest_Click() {
    Status opened;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location(), {}, &opened);
    lblTest->setText(log ? QStringLiteral("Connected: %1").arg(log->location().text())
                         : opened.message);
    if (log)
        showRecords();
}

void frmProductionLog::showRecords() {
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location(), {}, nullptr);
    QList<ChipRecord> records;
    if (!log || !log->lastRecords(ShownRecords, &records))
        records.clear();
    tblRecords->setRowCount(int(records.size()));
    for (int row = 0; row < records.size(); ++row) {
        const ChipRecord& r = records[row];
        const QStringList cells{r.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                r.resultText().toUpper(),
                                r.serial >= 0 ? QString::number(r.serial) : QString(),
                                r.deviceType,
                                r.functions.join(QStringLiteral(", ")),
                                r.passed ? QString()
                                         : r.failedStep + QStringLiteral(": ") + r.failureDetail};
        for (int column = 0; column < cells.size(); ++column)
            tblRecords->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    tblRecords->resizeColumnsToContents();
}

void frmProductionLog::cmdOK_Click() {
    const QString text = txtLocation->text().trimmed();
    LogLocation parsed;
    if (!text.isEmpty()) {
        if (const Status status = ParseLogLocation(text, &parsed); !status) {
            ShowMessage(this, QStringLiteral("Production Log"), status.message, MsgIcon::Warning);
            return;
        }
    }
    SerialSettings serial;
    serial.enabled = chkSerial->isChecked();
    qint64 address = 0;
    bool firstOk = false, stepOk = false;
    const Status addressOk = ReadTypedOffset(txtAddress->text(), address);
    serial.address = address;
    serial.length = spnLength->value();
    serial.order = cboOrder->currentIndex() == 0 ? SerialSettings::Order::MostSignificantFirst
                                                 : SerialSettings::Order::LeastSignificantFirst;
    serial.encoding = SerialSettings::Encoding(cboEncoding->currentIndex());
    serial.first = txtFirst->text().trimmed().toLongLong(&firstOk);
    serial.step = txtStep->text().trimmed().toLongLong(&stepOk);
    Status valid = serial.check();
    if (!addressOk || !firstOk || !stepOk)
        valid = Status::Fail(QStringLiteral("The serial number's address (hexadecimal), first "
                                            "number and step must be numbers."));
    if (!valid) {
        ShowMessage(this, QStringLiteral("Serial Number"), valid.message, MsgIcon::Warning);
        return;
    }
    if (serial.enabled && !chkEnabled->isChecked()) {
        ShowMessage(this, QStringLiteral("Serial Number"),
                    QStringLiteral("Serial numbers come from the production log: switch the log "
                                   "on to use them."),
                    MsgIcon::Warning);
        return;
    }
    UserSettings settings(state);
    settings.setValue(QStringLiteral("log/enabled"), chkEnabled->isChecked());
    settings.setValue(QStringLiteral("log/url"), text);
    serial.save(settings);
    QString error;
    if (!settings.sync(&error)) {
        ShowMessage(this, QStringLiteral("Production Log"), error, MsgIcon::Critical);
        return;
    }
    accept();
}

} // namespace varn
