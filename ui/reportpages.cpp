#include "reportpages.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGraphicsScene>
#include <QLineSeries>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QScatterSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace varn {

namespace {

void ClearChart(QChart* chart, const QString& title) {
    chart->setTitle(title);
    chart->legend()->hide();
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes())
        chart->removeAxis(axis);
}

// An image is painted at dpi dots per inch: fonts given in points come out
// as large on it as on paper.
void SetDpi(QImage& image, int dpi) {
    const int dotsPerMeter = qRound(dpi / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
}

using ChartFiller = void (*)(QChart*, const ProductionReport&);

// A chart drawn into target as it would stand on a screen of that physical
// size, in the paint device's resolution: its texts keep their sizes in
// points. Painted as an image, as a scene's texts would take the device's
// resolution twice.
void DrawChart(QPainter& painter, ChartFiller fill, const ProductionReport& figures,
               const QRectF& target, int dpi) {
    QImage picture(target.size().toSize(), QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(dpi / 96.0);
    picture.fill(Qt::white);
    QGraphicsScene scene;
    auto* chart = new QChart;
    scene.addItem(chart);
    fill(chart, figures);
    const QRectF bounds(QPointF(0, 0), picture.deviceIndependentSize());
    chart->setGeometry(bounds);
    QPainter onPicture(&picture);
    onPicture.setRenderHint(QPainter::Antialiasing);
    scene.render(&onPicture, bounds, bounds);
    onPicture.end();
    painter.drawImage(target, picture);
}

} // namespace

void ShowYieldChart(QChart* chart, const ProductionReport& figures) {
    ClearChart(chart, QStringLiteral("First-pass yield by hour (%, local time)"));
    // One point per hour that had chips, joined by a line.
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
    chart->addSeries(line);
    chart->addSeries(points);
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
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(percent, Qt::AlignLeft);
    for (QAbstractSeries* series :
         {static_cast<QAbstractSeries*>(line), static_cast<QAbstractSeries*>(points)}) {
        series->attachAxis(time);
        series->attachAxis(percent);
    }
}

void ShowFailuresChart(QChart* chart, const ProductionReport& figures) {
    ClearChart(chart, QStringLiteral("Failures by kind"));
    // One bar each, most frequent first, as the log counts them.
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
    chart->addSeries(bars);
    auto* names = new QBarCategoryAxis;
    names->append(kinds);
    auto* counts = new QValueAxis;
    counts->setRange(0, double(std::max<qint64>(most, 1)));
    counts->applyNiceNumbers();
    counts->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(names, Qt::AlignBottom);
    chart->addAxis(counts, Qt::AlignLeft);
    bars->attachAxis(names);
    bars->attachAxis(counts);
}

QString YieldHeadline(const ProductionReport& figures) {
    return figures.chips ? QStringLiteral("Yield %1 % of %2 chips")
                               .arg(figures.firstPassYield(), 0, 'f', 1)
                               .arg(figures.chips)
                         : QStringLiteral("No chips in this report");
}

ReportPages::ReportPages(const ProductionReport& report, const QString& reportTitle,
                         const QList<QPair<QString, QString>>& chosen, const QDateTime& made)
    : figures(report), title(reportTitle), filters(chosen), madeAt(made) {}

QSize ReportPages::ImagePageSize() {
    return QPageSize(QPageSize::A4).sizePixels(ImageDpi);
}

int ReportPages::Paint(QPainter* painter, const QPaintDevice& device, const QRectF& page,
                       const std::function<void()>& nextPage, int pageCount) const {
    const int dpi = device.logicalDpiY();
    const double mm = dpi / 25.4;
    QFont text(QStringLiteral("Sans Serif"));
    text.setStyleHint(QFont::SansSerif);
    text.setPointSizeF(10);
    QFont heading = text, headline = text, small = text;
    heading.setPointSizeF(18);
    heading.setBold(true);
    headline.setPointSizeF(13);
    headline.setBold(true);
    small.setPointSizeF(8);
    QFont fixed(QStringLiteral("Monospace"));
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setPointSizeF(9);

    // The page's foot names the report and the page.
    const double foot = QFontMetricsF(small, &device).height();
    const QRectF area = page.adjusted(0, 0, 0, -(foot + 3 * mm));
    int pages = 1;
    double y = area.top();
    const auto endPage = [&] {
        if (!painter)
            return;
        painter->setFont(small);
        painter->setPen(Qt::darkGray);
        painter->drawText(QRectF(page.left(), page.bottom() - foot, page.width(), foot),
                          Qt::AlignRight | Qt::AlignVCenter,
                          QStringLiteral("%1, page %2 of %3").arg(title).arg(pages).arg(pageCount));
        painter->setPen(Qt::black);
    };
    // What does not fit below y goes on a new page.
    const auto makeRoom = [&](double height) {
        if (y == area.top() || y + height <= area.bottom())
            return;
        endPage();
        ++pages;
        if (painter && nextPage)
            nextPage();
        y = area.top();
    };
    const auto write = [&](const QString& line, const QFont& font, double after) {
        const QFontMetricsF metrics(font, &device);
        const double height =
            metrics.boundingRect(QRectF(0, 0, area.width(), 1e9), Qt::TextWordWrap, line).height();
        makeRoom(height);
        if (painter) {
            painter->setFont(font);
            painter->drawText(QRectF(area.left(), y, area.width(), height), Qt::TextWordWrap, line);
        }
        y += height + after;
    };

    write(title, heading, 2 * mm);
    QStringList chosen;
    for (const auto& [name, value] : filters)
        chosen.append(name + QStringLiteral(": ") +
                      (value.isEmpty() ? QStringLiteral("any") : value));
    write(chosen.join(QStringLiteral("    ")), text, 1 * mm);
    write(QStringLiteral("As of %1")
              .arg(madeAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"))),
          text, 6 * mm);
    write(YieldHeadline(figures), headline, 3 * mm);
    for (const QString& line : ReportLines(figures))
        write(line, fixed, 0);
    y += 6 * mm;
    for (const ChartFiller fill : {&ShowYieldChart, &ShowFailuresChart}) {
        const double height = std::min(85 * mm, area.height());
        makeRoom(height);
        if (painter)
            DrawChart(*painter, fill, figures, QRectF(area.left(), y, area.width(), height), dpi);
        y += height + 6 * mm;
    }
    endPage();
    return pages;
}

QImage ReportPages::Image() const {
    const QSize page = ImagePageSize();
    const double margin = 15 / 25.4 * ImageDpi;
    const QRectF area =
        QRectF(QPointF(0, 0), QSizeF(page)).adjusted(margin, margin, -margin, -margin);
    // Measured on an image of the same resolution first: the page count
    // makes the image's height.
    QImage probe(1, 1, QImage::Format_RGB32);
    SetDpi(probe, ImageDpi);
    const int pages = Paint(nullptr, probe, area, {}, 0);
    QImage image(page.width(), page.height() * pages, QImage::Format_RGB32);
    SetDpi(image, ImageDpi);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    Paint(
        &painter, image, area, [&] { painter.translate(0, page.height()); }, pages);
    return image;
}

Status ReportPages::Save(const QString& path) const {
    const QString what = QStringLiteral("Cannot save the report to %1").arg(path);
    if (!path.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) {
        if (!Image().save(path, "PNG"))
            return Status::Fail(what + QStringLiteral(": the image could not be written."));
        return Status::Ok();
    }
    QPdfWriter pdf(path);
    pdf.setTitle(title);
    pdf.setCreator(QStringLiteral("VARN"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageOrientation(QPageLayout::Portrait);
    pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
    pdf.setResolution(300);
    // The writer's size is the page less its margins.
    const QRectF area(0, 0, pdf.width(), pdf.height());
    const int pages = Paint(nullptr, pdf, area, {}, 0);
    QPainter painter;
    if (!painter.begin(&pdf))
        return Status::Fail(what + QLatin1Char('.'));
    painter.setRenderHint(QPainter::Antialiasing);
    Paint(
        &painter, pdf, area, [&] { pdf.newPage(); }, pages);
    return painter.end() ? Status::Ok() : Status::Fail(what + QLatin1Char('.'));
}

} // namespace varn
