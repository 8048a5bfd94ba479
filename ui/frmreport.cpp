#include "frmreport.h"

#include "session/logaccess.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QPdfWriter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>

namespace varn {

namespace {

QLineEdit* filterBox(QWidget* parent, const char* name, const QString& hint) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(hint);
    edit->setClearButtonEnabled(true);
    return edit;
}

QChartView* chartView(QWidget* parent, const char* name, const QString& title) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    chart->setMargins(QMargins(4, 4, 4, 4));
    auto* view = new QChartView(chart, parent);
    view->setObjectName(QLatin1String(name));
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(280, 180);
    return view;
}

// The periods offered, in hours back from now (0: every record).
const struct {
    const char* text;
    int hours;
} Periods[] = {{"Every record", 0},
               {"Last 8 hours", 8},
               {"Last 24 hours", 24},
               {"Last 7 days", 7 * 24},
               {"Last 30 days", 30 * 24}};

} // namespace

frmReport::frmReport(const QString& location, QWidget* parent)
    : QDialog(parent), location(location) {
    setObjectName(QStringLiteral("frmReport"));
    setWindowTitle(QStringLiteral("Production Report"));
    setSizeGripEnabled(true);

    txtLot = filterBox(this, "txtLot", QStringLiteral("any lot"));
    txtStation = filterBox(this, "txtStation", QStringLiteral("any station"));
    txtOperator = filterBox(this, "txtOperator", QStringLiteral("any operator"));
    txtUnit = filterBox(this, "txtUnit", QStringLiteral("any unit (its port)"));
    cboPeriod = new QComboBox(this);
    cboPeriod->setObjectName(QStringLiteral("cboPeriod"));
    for (const auto& period : Periods)
        cboPeriod->addItem(QString::fromLatin1(period.text), period.hours);
    auto* cmdRefresh = new QPushButton(QStringLiteral("&Refresh"), this);
    cmdRefresh->setObjectName(QStringLiteral("cmdRefresh"));
    cmdRefresh->setDefault(true);
    auto* cmdSave = new QPushButton(QStringLiteral("&Save..."), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setToolTip(QStringLiteral("Save the report as PDF or PNG"));
    auto* cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));

    auto* filters = new QFormLayout;
    filters->addRow(QStringLiteral("&Lot:"), txtLot);
    filters->addRow(QStringLiteral("S&tation:"), txtStation);
    filters->addRow(QStringLiteral("&Operator:"), txtOperator);
    filters->addRow(QStringLiteral("&Unit:"), txtUnit);
    filters->addRow(QStringLiteral("&Period:"), cboPeriod);

    lblYield = new QLabel(this);
    lblYield->setObjectName(QStringLiteral("lblYield"));
    QFont big = lblYield->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    lblYield->setFont(big);
    lblYield->setWordWrap(true);

    txtFigures = new QPlainTextEdit(this);
    txtFigures->setObjectName(QStringLiteral("txtFigures"));
    txtFigures->setReadOnly(true);
    txtFigures->setFont(QFont(QStringLiteral("Monospace")));
    txtFigures->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtFigures->setMinimumWidth(240);

    chtYield =
        chartView(this, "chtYield", QStringLiteral("First-pass yield by hour (%, local time)"));
    chtFailures = chartView(this, "chtFailures", QStringLiteral("Failures by kind"));

    auto* left = new QVBoxLayout;
    left->addLayout(filters);
    left->addWidget(lblYield);
    left->addWidget(txtFigures, 1);
    auto* charts = new QVBoxLayout;
    charts->addWidget(chtYield, 1);
    charts->addWidget(chtFailures, 1);
    // The filters, figures and charts scroll where the screen is small; the
    // buttons stay below them.
    auto* content = new QWidget(this);
    auto* body = new QHBoxLayout(content);
    body->setContentsMargins(0, 0, 0, 0);
    body->addLayout(left, 1);
    body->addLayout(charts, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdRefresh);
    buttons->addStretch(1);
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new ScrollPanel(content, this), 1);
    layout->addLayout(buttons);
    FitToScreen(this, QSize(1080, 660));

    askSavePath = [](QWidget* owner) {
        return AskSaveFile(owner, QStringLiteral("Save Report"), QStringLiteral("report.pdf"),
                           QStringLiteral("PDF (*.pdf);;PNG image (*.png)"));
    };
    connect(cmdRefresh, &QPushButton::clicked, this, &frmReport::Refresh);
    connect(cmdSave, &QPushButton::clicked, this, &frmReport::cmdSave_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    Refresh();
}

ReportFilter frmReport::filter() const {
    ReportFilter f;
    f.lot = txtLot->text().trimmed();
    f.station = txtStation->text().trimmed();
    f.operatorName = txtOperator->text().trimmed();
    f.port = txtUnit->text().trimmed();
    if (const int hours = cboPeriod->currentData().toInt(); hours > 0)
        f.from = QDateTime::currentDateTimeUtc().addSecs(-qint64(hours) * 3600);
    return f;
}

bool frmReport::Refresh() {
    ProductionReport figures;
    if (const Status status = ReportOf(location, filter(), &figures); !status) {
        report = ProductionReport{};
        lblYield->setText(QStringLiteral("No report"));
        txtFigures->setPlainText(status.message);
        showCharts(report);
        return false;
    }
    report = figures;
    lblYield->setText(report.chips ? QStringLiteral("Yield %1 % of %2 chips")
                                         .arg(report.firstPassYield(), 0, 'f', 1)
                                         .arg(report.chips)
                                   : QStringLiteral("No chips in this report"));
    txtFigures->setPlainText(ReportLines(report).join(QLatin1Char('\n')));
    showCharts(report);
    return true;
}

void frmReport::showCharts(const ProductionReport& figures) {
    // Yield by hour: one point per hour that had chips, joined by a line.
    QChart* yield = chtYield->chart();
    yield->removeAllSeries();
    for (QAbstractAxis* axis : yield->axes())
        yield->removeAxis(axis);
    auto* line = new QLineSeries;
    auto* points = new QScatterSeries;
    points->setMarkerSize(7);
    QDateTime first, last;
    for (qsizetype i = 0; i < figures.chipsByHour.size(); ++i) {
        const auto& [hour, chips] = figures.chipsByHour[i];
        const qint64 passed = figures.passedByHour.value(i).second;
        QDateTime at = QDateTime::fromString(hour + QStringLiteral(":00:00Z"), Qt::ISODate);
        if (!at.isValid() || chips <= 0)
            continue;
        at = at.toLocalTime();
        if (!first.isValid())
            first = at;
        last = at;
        const double percent = 100.0 * double(passed) / double(chips);
        line->append(double(at.toMSecsSinceEpoch()), percent);
        points->append(double(at.toMSecsSinceEpoch()), percent);
    }
    yield->addSeries(line);
    yield->addSeries(points);
    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("HH:mm"));
    time->setTickCount(5);
    if (first.isValid()) {
        // Whole hours on the ticks while they are few enough to read.
        const int hours = int(first.secsTo(last) / 3600);
        time->setRange(first.addSecs(-3600), last.addSecs(3600));
        time->setTickCount(hours + 3 <= 10 ? hours + 3 : 6);
        time->setFormat(hours < 20 ? QStringLiteral("HH:mm") : QStringLiteral("dd.MM. HH:mm"));
    }
    auto* percent = new QValueAxis;
    percent->setRange(0, 100);
    percent->setLabelFormat(QStringLiteral("%d"));
    yield->addAxis(time, Qt::AlignBottom);
    yield->addAxis(percent, Qt::AlignLeft);
    for (QAbstractSeries* series :
         {static_cast<QAbstractSeries*>(line), static_cast<QAbstractSeries*>(points)}) {
        series->attachAxis(time);
        series->attachAxis(percent);
    }

    // Failures by kind: one bar each, most frequent first, as the log counts them.
    QChart* failures = chtFailures->chart();
    failures->removeAllSeries();
    for (QAbstractAxis* axis : failures->axes())
        failures->removeAxis(axis);
    auto* set = new QBarSet(QStringLiteral("Failures"));
    QStringList kinds;
    qint64 most = 0;
    for (const auto& [kind, count] : figures.byKind) {
        kinds.append(kind);
        set->append(double(count));
        most = std::max(most, count);
    }
    auto* bars = new QBarSeries;
    bars->append(set);
    bars->setLabelsVisible(true);
    failures->addSeries(bars);
    auto* names = new QBarCategoryAxis;
    names->append(kinds);
    auto* counts = new QValueAxis;
    counts->setRange(0, double(std::max<qint64>(most, 1)));
    counts->applyNiceNumbers();
    counts->setLabelFormat(QStringLiteral("%d"));
    failures->addAxis(names, Qt::AlignBottom);
    failures->addAxis(counts, Qt::AlignLeft);
    bars->attachAxis(names);
    bars->attachAxis(counts);
}

Status frmReport::SaveTo(const QString& path) {
    const QString what = QStringLiteral("Cannot save the report to %1").arg(path);
    if (path.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) {
        QPdfWriter pdf(path);
        pdf.setTitle(windowTitle());
        pdf.setPageOrientation(QPageLayout::Landscape);
        pdf.setResolution(150);
        QPainter painter;
        if (!painter.begin(&pdf))
            return Status::Fail(what + QLatin1Char('.'));
        // The window scaled to fill the page's width.
        const QRect page = painter.viewport();
        const double scale =
            std::min(double(page.width()) / width(), double(page.height()) / height());
        painter.scale(scale, scale);
        render(&painter);
        return painter.end() ? Status::Ok() : Status::Fail(what + QLatin1Char('.'));
    }
    const QString format = QFileInfo(path).suffix().isEmpty() ? QStringLiteral("PNG") : QString();
    if (!grab().save(path, format.isEmpty() ? nullptr : "PNG"))
        return Status::Fail(what + QStringLiteral(": the image could not be written."));
    return Status::Ok();
}

void frmReport::cmdSave_Click() {
    const QString path = askSavePath ? askSavePath(this) : QString();
    if (path.isEmpty())
        return;
    if (const Status saved = SaveTo(path); !saved)
        ShowMessage(this, QStringLiteral("Save Report"), saved.message, MsgIcon::Critical);
}

} // namespace varn
