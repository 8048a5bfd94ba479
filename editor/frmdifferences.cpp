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

    summary = new QLabel(DifferenceSummary(report) +
                             (report.empty() ? QString()
                                             : QStringLiteral("  Pairs read buffer/%1; "
                                                              "choose a range to show it.")
                                                   .arg(other)),
                         this);
    summary->setObjectName(QStringLiteral("summary"));
    ranges = new QListWidget(this);
    ranges->setObjectName(QStringLiteral("ranges"));
    ranges->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    QStringList lines = DifferenceLines(report, MaxListed);
    lines.removeLast(); // the summary stands above the list
    ranges->addItems(lines);
    for (size_t i = 0; i < report.ranges.size() && i < size_t(MaxListed); ++i)
        firstAddresses.push_back(report.ranges[i].first);

    auto choose = [this](QListWidgetItem* item) {
        const int row = ranges->row(item);
        if (row >= 0 && size_t(row) < firstAddresses.size())
            emit addressChosen(firstAddresses[size_t(row)]);
    };
    connect(ranges, &QListWidget::itemActivated, this, choose);
    connect(ranges, &QListWidget::itemClicked, this, choose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(summary);
    layout->addWidget(ranges);
    resize(520, 260);
}

void frmDifferences::MarkStale() {
    if (stale)
        return;
    stale = true;
    summary->setText(QStringLiteral("Out of date: the buffer has changed since. ") +
                     summary->text());
    summary->setStyleSheet(QStringLiteral("color: #b00000"));
    setWindowTitle(windowTitle() + QStringLiteral(" (out of date)"));
}

} // namespace varn
