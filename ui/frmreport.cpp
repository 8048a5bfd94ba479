#include "frmreport.h"

#include "session/logaccess.h"
#include "ui/offthread.h"
#include "ui/reportpages.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varn {

namespace {

QLineEdit* filterBox(QWidget* parent, const char* name, const QString& hint) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(hint);
    edit->setClearButtonEnabled(true);
    return edit;
}

QChartView* chartView(QWidget* parent, const char* name) {
    auto* view = new QChartView(new QChart, parent);
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

    lot = filterBox(this, "lot", QStringLiteral("any lot"));
    station = filterBox(this, "station", QStringLiteral("any station"));
    operatorName = filterBox(this, "operatorName", QStringLiteral("any operator"));
    unit = filterBox(this, "unit", QStringLiteral("any unit (its port)"));
    periodChoice = new QComboBox(this);
    periodChoice->setObjectName(QStringLiteral("periodChoice"));
    for (const auto& period : Periods)
        periodChoice->addItem(QString::fromLatin1(period.text), period.hours);
    auto* refreshButton = new QPushButton(QStringLiteral("&Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setDefault(true);
    auto* saveButton = new QPushButton(QStringLiteral("&Save..."), this);
    saveButton->setObjectName(QStringLiteral("saveButton"));
    saveButton->setToolTip(QStringLiteral("Save the report as PDF or PNG"));
    auto* cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));

    auto* filters = new QFormLayout;
    filters->addRow(QStringLiteral("&Lot:"), lot);
    filters->addRow(QStringLiteral("S&tation:"), station);
    filters->addRow(QStringLiteral("&Operator:"), operatorName);
    filters->addRow(QStringLiteral("&Unit:"), unit);
    filters->addRow(QStringLiteral("&Period:"), periodChoice);

    yieldHeadline = new QLabel(this);
    yieldHeadline->setObjectName(QStringLiteral("yieldHeadline"));
    QFont big = yieldHeadline->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    yieldHeadline->setFont(big);
    yieldHeadline->setWordWrap(true);

    figures = new QPlainTextEdit(this);
    figures->setObjectName(QStringLiteral("figures"));
    figures->setReadOnly(true);
    figures->setFont(QFont(QStringLiteral("Monospace")));
    figures->setLineWrapMode(QPlainTextEdit::NoWrap);
    figures->setMinimumWidth(240);

    yieldChart = chartView(this, "yieldChart");
    failuresChart = chartView(this, "failuresChart");

    auto* left = new QVBoxLayout;
    left->addLayout(filters);
    left->addWidget(yieldHeadline);
    left->addWidget(figures, 1);
    auto* charts = new QVBoxLayout;
    charts->addWidget(yieldChart, 1);
    charts->addWidget(failuresChart, 1);
    // The filters, figures and charts scroll where the screen is small; the
    // buttons stay below them.
    auto* content = new QWidget(this);
    auto* body = new QHBoxLayout(content);
    body->setContentsMargins(0, 0, 0, 0);
    body->addLayout(left, 1);
    body->addLayout(charts, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refreshButton);
    buttons->addStretch(1);
    buttons->addWidget(saveButton);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new ScrollPanel(content, this), 1);
    layout->addLayout(buttons);
    FitToScreen(this, QSize(1080, 660));

    askSavePath = [](QWidget* owner) {
        return AskSaveFile(owner, QStringLiteral("Save Report"), QStringLiteral("report.pdf"),
                           QStringLiteral("PDF (*.pdf);;PNG image (*.png)"));
    };
    connect(refreshButton, &QPushButton::clicked, this, &frmReport::Refresh);
    connect(saveButton, &QPushButton::clicked, this, &frmReport::saveClicked);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    Refresh();
}

ReportFilter frmReport::filter() const {
    ReportFilter f;
    f.lot = lot->text().trimmed();
    f.station = station->text().trimmed();
    f.operatorName = operatorName->text().trimmed();
    f.port = unit->text().trimmed();
    if (const int hours = periodChoice->currentData().toInt(); hours > 0)
        f.from = QDateTime::currentDateTimeUtc().addSecs(-qint64(hours) * 3600);
    return f;
}

void frmReport::Refresh() {
    const QDateTime asked = QDateTime::currentDateTime();
    const quint64 ticket = ++reads;
    yieldHeadline->setText(QStringLiteral("Reading the log ..."));
    using Answer = std::pair<Status, ProductionReport>;
    OffWindowThread<Answer>(
        this,
        [where = location, chosen = filter()] {
            Answer answer;
            answer.first = ReportOf(where, chosen, &answer.second);
            return answer;
        },
        [this, ticket, asked](const Answer& answer) {
            // Only the last Refresh's answer is the filter as typed.
            if (ticket != reads)
                return;
            askedAt = asked;
            report = answer.first ? answer.second : ProductionReport{};
            yieldHeadline->setText(answer.first ? YieldHeadline(report)
                                                : QStringLiteral("No report"));
            figures->setPlainText(answer.first ? ReportLines(report).join(QLatin1Char('\n'))
                                               : answer.first.message);
            ShowYieldChart(yieldChart->chart(), report);
            ShowFailuresChart(failuresChart->chart(), report);
        });
}

Status frmReport::SaveTo(const QString& path) {
    const QList<QPair<QString, QString>> filters{
        {QStringLiteral("Lot"), lot->text().trimmed()},
        {QStringLiteral("Station"), station->text().trimmed()},
        {QStringLiteral("Operator"), operatorName->text().trimmed()},
        {QStringLiteral("Unit"), unit->text().trimmed()},
        {QStringLiteral("Period"), periodChoice->currentText()}};
    return ReportPages(report, windowTitle(), filters, askedAt).Save(path);
}

void frmReport::saveClicked() {
    const QString path = askSavePath ? askSavePath(this) : QString();
    if (path.isEmpty())
        return;
    if (const Status saved = SaveTo(path); !saved)
        ShowMessage(this, QStringLiteral("Save Report"), saved.message, MsgIcon::Critical);
}

} // namespace varn
