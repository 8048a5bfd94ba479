#pragma once

#include <QIcon>

namespace varn {

// The program's icon in every size drawn (16 to 256 pixels, from
// icons/varn.svg), so that a title bar, a task bar or a large scale each get
// a sharp one.
QIcon AppIcon();

} // namespace varn
