#pragma once

#include "core/appstate.h"

#include <QByteArray>
#include <QString>

namespace varn {

// What the user typed into Find, as the bytes to look for. Hex digits in
// pairs, with or without spaces between the pairs ("12 ab 3F", "12AB3F"),
// are bytes; text in double quotes is always text ("\"CAFE\""); anything
// else is text as typed, one byte per character (Latin-1).
QByteArray ParseSearchText(const QString& typed);

// The first address in [from, end) where pattern starts and lies wholly
// before end, continuing from 0 up to from when nothing follows; -1 when the
// pattern occurs nowhere (or is empty).
qint32 FindInBuffer(const AppState& state, const QByteArray& pattern, qint32 from, qint32 end);

} // namespace varn
