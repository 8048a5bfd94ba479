#pragma once

#include <QFontMetricsF>
#include <QRect>
#include <QWidget>

namespace varn {

// Window layouts are kept in twips (15 to a pixel at 96 dpi) and grown with
// the platform font, which is taller than the 13-pixel font they were drawn
// for.
class Twips {
public:
    explicit Twips(const QWidget* w)
        : scale(qMax(1.0, QFontMetricsF(w->font()).height() / 13.0) / 15.0) {}
    int operator()(int twips) const { return qRound(twips * scale); }
    QRect operator()(int left, int top, int width, int height) const {
        return {(*this)(left), (*this)(top), (*this)(width), (*this)(height)};
    }

private:
    double scale;
};

} // namespace varn
