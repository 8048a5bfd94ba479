#pragma once

#include "core/status.h"
#include "production/productionreport.h"

#include <QDateTime>
#include <QImage>
#include <QList>
#include <QPair>
#include <QString>
#include <functional>

class QChart;
class QPaintDevice;
class QPainter;

namespace varn {

// The production report's charts, as the window shows them and the pages
// print them: the first-pass yield by hour (local time) and the failures by
// kind.
void ShowYieldChart(QChart* chart, const ProductionReport& figures);
void ShowFailuresChart(QChart* chart, const ProductionReport& figures);

// "Yield 60.0 % of 5 chips", or why there is none.
QString YieldHeadline(const ProductionReport& figures);

// The report laid out for paper: its title, the filters it was asked with,
// the time it was made, the yield, the figures and both charts, on A4 pages
// (portrait, 15 mm margins), as many as it takes.
class ReportPages {
public:
    // filters: each filter's name and value as chosen (an empty value shows
    // as "any").
    ReportPages(const ProductionReport& figures, const QString& title,
                const QList<QPair<QString, QString>>& filters, const QDateTime& madeAt);

    // Dots per inch of the PNG pages.
    static constexpr int ImageDpi = 150;
    // One A4 page as an image at ImageDpi.
    static QSize ImagePageSize();

    // The pages one below the other, at ImageDpi.
    QImage Image() const;
    // PDF when path ends in .pdf (any case), otherwise a PNG of Image().
    Status Save(const QString& path) const;

private:
    // Lays the report out on device and paints it when painter is given;
    // area: the printable part of a page in device pixels. nextPage starts
    // a new page. Returns the pages used.
    // pageCount: for the pages' foot.
    int Paint(QPainter* painter, const QPaintDevice& device, const QRectF& area,
              const std::function<void()>& nextPage, int pageCount) const;

    ProductionReport figures;
    QString title;
    QList<QPair<QString, QString>> filters;
    QDateTime madeAt;
};

} // namespace varn
