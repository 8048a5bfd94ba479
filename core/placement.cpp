#include "placement.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace varn {

QRect FitInside(const QRect& frame, const QRect& area) {
    QRect fitted(frame.topLeft(), frame.size().boundedTo(area.size()));
    fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() - fitted.width() + 1));
    fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() - fitted.height() + 1));
    return fitted;
}

QRect PlaceBeside(const QRect& anchor, const QSize& wanted, const QRect& area) {
    const QRect below(QPoint(anchor.left(), anchor.bottom() + 1), wanted);
    if (area.contains(below))
        return below;
    const QRect right(QPoint(anchor.right() + 1, anchor.top()), wanted);
    if (area.contains(right))
        return right;
    // Neither: as much of the wanted size as the area holds, at its bottom
    // right, over part of the anchor.
    return FitInside(
        QRect(area.bottomRight() - QPoint(wanted.width(), wanted.height()) + QPoint(1, 1), wanted),
        area);
}

QString PathForFilter(const QString& path, const QString& filter) {
    if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty())
        return path;
    static const QRegularExpression firstPattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
    const QRegularExpressionMatch match = firstPattern.match(filter);
    return match.hasMatch() ? path + QLatin1Char('.') + match.captured(1) : path;
}

} // namespace varn
