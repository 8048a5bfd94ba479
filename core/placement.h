#pragma once

#include <QRect>
#include <QString>

namespace varn {

// A window's frame kept inside the available area: moved in first, then
// shrunk to it when it is larger (a fixed layout scaled up on a small screen).
QRect FitInside(const QRect& frame, const QRect& area);

// Where a window of size wanted goes beside anchor (a window already in the
// area): below it when it fits there whole, else to its right, else over the
// bottom of the area; never outside the area, and no smaller than it must be.
QRect PlaceBeside(const QRect& anchor, const QSize& wanted, const QRect& area);

// The name a save dialog's answer stands for: a name without an extension
// gets the first one of the chosen filter ("Intel HEX (*.hex *.ihx)" adds
// ".hex"; "All files (*)" adds none).
QString PathForFilter(const QString& path, const QString& filter);

} // namespace varn
