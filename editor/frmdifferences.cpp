#include "frmdifferences.h"

#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

namespace varn {

frmDifferences::frmDifferences(const QString& title, const DifferenceReport& report,
                               const QString& other, QWidget* parent)
    : QWidget(parent), report(report), other(other) {
    setObjectName(QStringLiteral("frmDifferences"));
    setWindowTitle(title);

    lblSummary = new QLabel(DifferenceSummary(report) +
                                (report.empty() ? QString()
                                                : QStringLiteral("  Pairs read buffer/%1; "
                                                                 "choose a range to show it.")
                                                      .arg(other)),
                            this);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lstRanges = new QListWidget(this);
    lstRanges->setObjectName(QStringLiteral("lstRanges"));
    lstRanges->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    QStringList lines = DifferenceLines(report, MaxListed);
    lines.removeLast(); // the summary stands above the list
    lstRanges->addItems(lines);
    for (size_t i = 0; i < report.ranges.size() && i < size_t(MaxListed); ++i)
        firstAddresses.push_back(report.ranges[i].first);

    auto choose = [this](QListWidgetItem* item) {
        const int row = lstRanges->row(item);
        if (row >= 0 && size_t(row) < firstAddresses.size())
            emit addressChosen(firstAddresses[size_t(row)]);
    };
    connect(lstRanges, &QListWidget::itemActivated, this, choose);
    connect(lstRanges, &QListWidget::itemClicked, this, choose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblSummary);
    layout->addWidget(lstRanges);
    resize(520, 260);
}

void frmDifferences::MarkStale() {
    if (stale)
        return;
    stale = true;
    lblSummary->setText(QStringLiteral("Out of date: the buffer has changed since. ") +
                        lblSummary->text());
    lblSummary->setStyleSheet(QStringLiteral("color: #b00000"));
    setWindowTitle(windowTitle() + QStringLiteral(" (out of date)"));
}

} // namespace varn
