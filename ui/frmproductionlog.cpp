#include "frmproductionlog.h"

#include "core/hextext.h"
#include "core/usersettings.h"
#include "production/productionlog.h"
#include "ui/offthread.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSysInfo>
#include <QTableWidget>
#include <QVBoxLayout>

namespace varn {

namespace {

constexpr int ShownRecords = 20;

QLineEdit* lineEdit(QWidget* parent, const char* name, const QString& text) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    return edit;
}

} // namespace

frmProductionLog::frmProductionLog(AppState& state, QWidget* parent)
    : QDialog(parent), state(state) {
    setObjectName(QStringLiteral("frmProductionLog"));
    setWindowTitle(QStringLiteral("Production Log"));
    const UserSettings settings(state);
    const SerialSettings serial = SerialSettings::load(settings);
    const LineFields fields = LineFields::load(settings);

    logEnabled = new QCheckBox(QStringLiteral("Write a record of every run"), this);
    logEnabled->setObjectName(QStringLiteral("logEnabled"));
    logEnabled->setChecked(LogEnabled(settings));
    fileOrUrl = lineEdit(this, "fileOrUrl", settings.value(QStringLiteral("log/url")).toString());
    fileOrUrl->setPlaceholderText(QString::fromLatin1(DefaultLogFileName) +
                                  QStringLiteral(" or postgresql://user@host/dbname"));
    auto* testButton = new QPushButton(QStringLiteral("Test Connection"), this);
    testButton->setObjectName(QStringLiteral("testButton"));
    testResult = new QLabel(this);
    testResult->setObjectName(QStringLiteral("testResult"));
    testResult->setWordWrap(true);

    auto* logBox = new QGroupBox(QStringLiteral("Log"), this);
    auto* logForm = new QFormLayout(logBox);
    logForm->addRow(logEnabled);
    auto* where = new QHBoxLayout;
    where->addWidget(fileOrUrl, 1);
    where->addWidget(testButton);
    logForm->addRow(QStringLiteral("File or URL:"), where);
    logForm->addRow(testResult);

    station = lineEdit(this, "station", fields.station);
    station->setPlaceholderText(QSysInfo::machineHostName());
    operatorName = lineEdit(this, "operatorName", fields.operatorName);
    lot = lineEdit(this, "lot", fields.lot);
    workOrder = lineEdit(this, "workOrder", fields.workOrder);
    product = lineEdit(this, "product", fields.product);
    auto* recordBox = new QGroupBox(QStringLiteral("Each record names"), this);
    auto* recordGrid = new QGridLayout(recordBox);
    recordGrid->addWidget(new QLabel(QStringLiteral("Station:"), this), 0, 0);
    recordGrid->addWidget(station, 0, 1);
    recordGrid->addWidget(new QLabel(QStringLiteral("Operator:"), this), 0, 2);
    recordGrid->addWidget(operatorName, 0, 3);
    recordGrid->addWidget(new QLabel(QStringLiteral("Lot:"), this), 1, 0);
    recordGrid->addWidget(lot, 1, 1);
    recordGrid->addWidget(new QLabel(QStringLiteral("Work order:"), this), 1, 2);
    recordGrid->addWidget(workOrder, 1, 3);
    recordGrid->addWidget(new QLabel(QStringLiteral("Product:"), this), 2, 0);
    recordGrid->addWidget(product, 2, 1);

    serialEnabled =
        new QCheckBox(QStringLiteral("Give each programmed chip the next number of"), this);
    serialEnabled->setObjectName(QStringLiteral("serialEnabled"));
    serialEnabled->setChecked(serial.enabled);
    seriesChoice = new QComboBox(this);
    seriesChoice->setObjectName(QStringLiteral("seriesChoice"));
    seriesChoice->setMinimumContentsLength(24);
    if (!serial.name.isEmpty())
        seriesChoice->addItem(serial.name);
    serialAddress = lineEdit(this, "serialAddress", HexWord(qint32(serial.address)));
    auto* serialBox = new QGroupBox(QStringLiteral("Serial number"), this);
    auto* serialForm = new QFormLayout(serialBox);
    auto* which = new QHBoxLayout;
    which->addWidget(serialEnabled);
    which->addWidget(seriesChoice, 1);
    serialForm->addRow(which);
    serialForm->addRow(QStringLiteral("Address in the image (hex):"), serialAddress);

    // A new series: its definition is fixed once chips carry its numbers.
    seriesName = lineEdit(this, "seriesName", QString());
    seriesName->setPlaceholderText(QStringLiteral("e.g. board-a"));
    seriesLength = new QSpinBox(this);
    seriesLength->setObjectName(QStringLiteral("seriesLength"));
    seriesLength->setRange(1, 8);
    seriesLength->setValue(serial.length);
    byteOrder = new QComboBox(this);
    byteOrder->setObjectName(QStringLiteral("byteOrder"));
    byteOrder->addItems({QStringLiteral("Most significant byte first"),
                         QStringLiteral("Least significant byte first")});
    byteOrder->setCurrentIndex(serial.order == SerialSettings::Order::MostSignificantFirst ? 0 : 1);
    encoding = new QComboBox(this);
    encoding->setObjectName(QStringLiteral("encoding"));
    encoding->addItems(
        {QStringLiteral("Binary"), QStringLiteral("Packed BCD"), QStringLiteral("ASCII decimal")});
    encoding->setCurrentIndex(int(serial.encoding));
    first = lineEdit(this, "first", QString::number(serial.first));
    step = lineEdit(this, "step", QString::number(serial.step));
    maximum = lineEdit(this, "maximum", QString());
    maximum->setPlaceholderText(QStringLiteral("the largest that fits"));
    auto* createSeriesButton = new QPushButton(QStringLiteral("Create Series"), this);
    createSeriesButton->setObjectName(QStringLiteral("createSeriesButton"));
    seriesResult = new QLabel(this);
    seriesResult->setObjectName(QStringLiteral("seriesResult"));
    seriesResult->setWordWrap(true);
    auto* newBox = new QGroupBox(QStringLiteral("New serial series"), this);
    auto* newGrid = new QGridLayout(newBox);
    const QList<QPair<QString, QWidget*>> cells{
        {QStringLiteral("Name:"), seriesName},    {QStringLiteral("Length (bytes):"), seriesLength},
        {QStringLiteral("First number:"), first}, {QStringLiteral("Encoding:"), encoding},
        {QStringLiteral("Step:"), step},          {QStringLiteral("Byte order:"), byteOrder},
        {QStringLiteral("Last number:"), maximum}};
    for (int i = 0; i < cells.size(); ++i) {
        newGrid->addWidget(new QLabel(cells[i].first, this), i / 2, (i % 2) * 2);
        newGrid->addWidget(cells[i].second, i / 2, (i % 2) * 2 + 1);
    }
    newGrid->addWidget(createSeriesButton, 3, 3);
    newGrid->addWidget(seriesResult, 4, 0, 1, 4);

    recordTable = new QTableWidget(0, 6, this);
    recordTable->setObjectName(QStringLiteral("recordTable"));
    recordTable->setHorizontalHeaderLabels(
        {QStringLiteral("Time"), QStringLiteral("Result"), QStringLiteral("Serial"),
         QStringLiteral("Station"), QStringLiteral("Functions"), QStringLiteral("Failure")});
    recordTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    recordTable->horizontalHeader()->setStretchLastSection(true);
    recordTable->verticalHeader()->hide();
    recordTable->setMinimumHeight(150);

    // Everything but OK and Cancel scrolls where the screen is small.
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(logBox);
    column->addWidget(recordBox);
    column->addWidget(serialBox);
    column->addWidget(newBox);
    column->addWidget(new QLabel(QStringLiteral("Last records:"), this));
    column->addWidget(recordTable, 1);
    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new ScrollPanel(content, this), 1);
    layout->addWidget(buttons);
    FitToScreen(this, QSize(680, 760));

    connect(testButton, &QPushButton::clicked, this, &frmProductionLog::testClicked);
    connect(createSeriesButton, &QPushButton::clicked, this,
            &frmProductionLog::createSeriesClicked);
    connect(buttons, &QDialogButtonBox::accepted, this, &frmProductionLog::okClicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    if (logEnabled->isChecked())
        refresh();
}

QString frmProductionLog::location() const {
    const QString text = fileOrUrl->text().trimmed();
    return text.isEmpty() ? state.ConfigPath(QString::fromLatin1(DefaultLogFileName)) : text;
}

// What the window shows of the log, read on a pool thread: the log may be
// a database across the network.
struct LogGlance {
    Status opened;      // the log (and a series asked for) as it went
    QString shownWhere; // the log's location as it names itself
    bool read = false;  // records and series below are the log's
    QList<ChipRecord> records;
    bool seriesRead = false;
    QList<SerialSettings> series;
};

namespace {

// create: a series to create first, which starts a log file that is not there.
LogGlance Glance(const QString& location, const std::optional<SerialSettings>& create) {
    LogGlance glance;
    LogOpenOptions options;
    options.create = create.has_value();
    const std::unique_ptr<ProductionLog> log =
        ProductionLog::open(location, options, &glance.opened);
    if (log && create)
        glance.opened = log->createSeries(*create);
    if (!log || !glance.opened)
        return glance;
    glance.shownWhere = log->location().text();
    glance.read = log->lastRecords(ShownRecords, &glance.records).ok;
    glance.seriesRead = log->seriesList(&glance.series).ok;
    return glance;
}

} // namespace

void frmProductionLog::testClicked() {
    testResult->setText(QStringLiteral("Connecting ..."));
    OffWindowThread<LogGlance>(
        this, [where = location()] { return Glance(where, std::nullopt); },
        [this, ticket = ++reads](const LogGlance& glance) {
            testResult->setText(glance.opened
                                    ? QStringLiteral("Connected: %1").arg(glance.shownWhere)
                                    : glance.opened.message);
            if (glance.opened && ticket == reads)
                showLog(glance);
        });
}

void frmProductionLog::refresh() {
    OffWindowThread<LogGlance>(
        this, [where = location()] { return Glance(where, std::nullopt); },
        [this, ticket = ++reads](const LogGlance& glance) {
            if (ticket == reads)
                showLog(glance);
        });
}

void frmProductionLog::showLog(const LogGlance& glance, const QString& choose) {
    const QList<ChipRecord> records = glance.read ? glance.records : QList<ChipRecord>{};
    recordTable->setRowCount(int(records.size()));
    for (int row = 0; row < records.size(); ++row) {
        const ChipRecord& r = records[row];
        const QStringList cells{
            // Stored in UTC, read where the line is: local time, zone named.
            r.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")),
            r.resultText().toUpper(),
            r.serial >= 0 ? QStringLiteral("%1 %2").arg(r.serialSeries).arg(r.serial) : QString(),
            r.station,
            r.functions.join(QStringLiteral(", ")),
            r.passed || r.interrupted() ? QString()
                                        : r.failedStep + QStringLiteral(": ") + r.failureDetail};
        for (int column = 0; column < cells.size(); ++column)
            recordTable->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    recordTable->resizeColumnsToContents();

    const QString chosen = choose.isEmpty() ? seriesChoice->currentText() : choose;
    if (!glance.seriesRead)
        return;
    series = glance.series;
    seriesChoice->clear();
    for (const SerialSettings& s : series) {
        seriesChoice->addItem(s.name);
        seriesChoice->setItemData(seriesChoice->count() - 1, SeriesLine(s), Qt::ToolTipRole);
    }
    seriesChoice->setCurrentIndex(qMax(0, seriesChoice->findText(chosen)));
}

void frmProductionLog::createSeriesClicked() {
    SerialSettings s;
    s.name = seriesName->text().trimmed();
    s.length = seriesLength->value();
    s.order = byteOrder->currentIndex() == 0 ? SerialSettings::Order::MostSignificantFirst
                                             : SerialSettings::Order::LeastSignificantFirst;
    s.encoding = SerialSettings::Encoding(encoding->currentIndex());
    bool firstOk = false, stepOk = false, maximumOk = true;
    s.first = first->text().trimmed().toLongLong(&firstOk);
    s.step = step->text().trimmed().toLongLong(&stepOk);
    if (!maximum->text().trimmed().isEmpty())
        s.limit = maximum->text().trimmed().toLongLong(&maximumOk);
    if (!firstOk || !stepOk || !maximumOk) {
        seriesResult->setText(
            QStringLiteral("First number, step and last number must be numbers."));
        return;
    }
    // Creating a series is asking for the log: a new file is started here.
    seriesResult->setText(QStringLiteral("Creating ..."));
    OffWindowThread<LogGlance>(
        this, [where = location(), s] { return Glance(where, s); },
        [this, s, ticket = ++reads](const LogGlance& glance) {
            if (!glance.opened) {
                seriesResult->setText(glance.opened.message);
                return;
            }
            seriesResult->setText(QStringLiteral("Created: %1").arg(SeriesLine(s)));
            // A read asked for after this one knows the series too.
            if (ticket == reads)
                showLog(glance, s.name);
        });
}

void frmProductionLog::okClicked() {
    const QString text = fileOrUrl->text().trimmed();
    LogLocation parsed;
    if (!text.isEmpty()) {
        if (const Status status = ParseLogLocation(text, &parsed); !status) {
            ShowMessage(this, QStringLiteral("Production Log"), status.message, MsgIcon::Warning);
            return;
        }
    }
    SerialSettings serial;
    for (const SerialSettings& s : series)
        if (s.name == seriesChoice->currentText())
            serial = s;
    serial.enabled = serialEnabled->isChecked();
    qint64 address = 0;
    const Status addressOk = ReadTypedOffset(serialAddress->text(), address);
    serial.address = address;
    const auto refuse = [this](const QString& message) {
        ShowMessage(this, QStringLiteral("Serial Number"), message, MsgIcon::Warning);
    };
    if (!addressOk)
        return refuse(QStringLiteral("The serial number's address must be hexadecimal."));
    if (serial.enabled && serial.name.isEmpty())
        return refuse(QStringLiteral("Choose the serial series the numbers come from (create one "
                                     "under New serial series)."));
    if (const Status valid = serial.check(); !valid)
        return refuse(valid.message);
    if (serial.enabled && !logEnabled->isChecked())
        return refuse(QStringLiteral("Serial numbers come from the production log: switch the "
                                     "log on to use them."));
    // A mistyped file name must not start a new log (and a new numbering).
    const QString path = location();
    if (logEnabled->isChecked() && !parsed.postgres && !QFileInfo::exists(path)) {
        if (AskMessage(
                this, QStringLiteral("Production Log"),
                QStringLiteral("%1 does not exist. Start a new production log there?").arg(path),
                MsgIcon::Warning,
                {QStringLiteral("Start a New Log"), QStringLiteral("Cancel")}) != 0)
            return;
        // Creating the file waits on its folder, which may be a share
        // across the network: off the window thread, OK held meanwhile.
        buttons->setEnabled(false);
        OffWindowThread<Status>(
            this,
            [path] {
                LogOpenOptions create;
                create.create = true;
                Status status;
                ProductionLog::open(path, create, &status);
                return status;
            },
            [this, text, serial](const Status& created) {
                buttons->setEnabled(true);
                if (!created)
                    ShowMessage(this, QStringLiteral("Production Log"), created.message,
                                MsgIcon::Critical);
                else
                    save(text, serial);
            });
        return;
    }
    save(text, serial);
}

void frmProductionLog::save(const QString& text, const SerialSettings& serial) {
    UserSettings settings(state);
    settings.setValue(QStringLiteral("log/enabled"), logEnabled->isChecked());
    settings.setValue(QStringLiteral("log/url"), text);
    serial.save(settings);
    LineFields fields;
    fields.station = station->text().trimmed();
    fields.operatorName = operatorName->text().trimmed();
    fields.lot = lot->text().trimmed();
    fields.workOrder = workOrder->text().trimmed();
    fields.product = product->text().trimmed();
    fields.save(settings);
    QString error;
    if (!settings.sync(&error)) {
        ShowMessage(this, QStringLiteral("Production Log"), error, MsgIcon::Critical);
        return;
    }
    accept();
}

} // namespace varn
