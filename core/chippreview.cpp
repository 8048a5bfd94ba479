#include "chippreview.h"

#include "hextext.h"

#include <QStringList>

namespace varn {

QString FieldPreview::bytesText() const {
    if (!known) {
        QStringList unknown;
        for (int i = 0; i < length; ++i)
            unknown.append(QStringLiteral("??"));
        return unknown.join(QLatin1Char(' '));
    }
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString FieldPreview::text() const {
    return QStringLiteral("%1@%2 = %3").arg(label, HexWord(qint32(address)), bytesText());
}

const FieldPreview* ChipPreview::fieldAt(qint64 address) const {
    for (const FieldPreview& field : fields)
        if (field.contains(address))
            return &field;
    return nullptr;
}

QString ChipPreview::line() const {
    if (!problem.isEmpty())
        return QStringLiteral("Next chip refused: ") + problem;
    QString shown;
    if (!fields.isEmpty()) {
        QStringList parts;
        for (const FieldPreview& field : fields)
            parts.append(field.text());
        shown = QStringLiteral("Next chip: ") + parts.join(QStringLiteral(", "));
    }
    if (!note.isEmpty())
        shown += (shown.isEmpty() ? QString() : QStringLiteral(". ")) + note;
    return shown;
}

} // namespace varn
