#pragma once

#include <QFontMetricsF>
#include <QRect>
#include <QWidget>

namespace varn {

// Window layouts are kept in twips, 15 to a pixel at 96 dpi, rounded to the
// nearest pixel. Dialogs grow them with the platform font, which is taller
// than the 13-pixel font they were drawn for; a window that fits its layout
// to its own contents takes the drawn size as it is.
class Twips {
public:
    // The drawn size, unscaled.
    Twips() = default;
    // Grown with w's font.
    explicit Twips(const QWidget* w)
        : scale(qMax(1.0, QFontMetricsF(w->font()).height() / 13.0) / 15.0) {}
    int operator()(int twips) const { return qRound(twips * scale); }
    QRect operator()(int left, int top, int width, int height) const {
        return {(*this)(left), (*this)(top), (*this)(width), (*this)(height)};
    }

private:
    double scale = 1.0 / 15.0;
};

} // namespace varn
