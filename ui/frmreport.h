#pragma once

#include "core/status.h"
#include "production/productionreport.h"

#include <QDateTime>
#include <QDialog>
#include <functional>

class QChartView;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace varn {

// View > Production Report: the figures varn-cli report prints, for a lot,
// station, operator or unit and a period, beside two charts (the yield by
// hour and the failures by kind); Save writes them on A4 pages, as PDF or
// PNG.
class frmReport : public QDialog {
    Q_OBJECT
public:
    // location: the production log (a file or a postgresql:// URL).
    frmReport(const QString& location, QWidget* parent = nullptr);

    // Asks the log again with the filter as typed, off the window thread;
    // the figures, or why the log could not answer, follow.
    void Refresh();
    // Writes the report with the filters as chosen and the time it was
    // asked for (ReportPages): PDF when path ends in .pdf, otherwise PNG.
    Status SaveTo(const QString& path);
    const ProductionReport& Report() const { return report; }

    // The file Save writes; empty when cancelled. Tests answer it.
    std::function<QString(QWidget* parent)> askSavePath;

private:
    ReportFilter filter() const;
    void saveClicked();

    QString location;
    ProductionReport report;
    QDateTime askedAt;
    quint64 reads = 0; // Refreshes asked for; only the last one's answer shows
    QLineEdit* lot = nullptr;
    QLineEdit* station = nullptr;
    QLineEdit* operatorName = nullptr;
    QLineEdit* unit = nullptr;
    QComboBox* periodChoice = nullptr;
    QLabel* yieldHeadline = nullptr;
    QPlainTextEdit* figures = nullptr;
    QChartView* yieldChart = nullptr;
    QChartView* failuresChart = nullptr;
};

} // namespace varn
