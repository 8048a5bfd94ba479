#include "textrecord.h"

#include <limits>
#include <utility>

namespace varn {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

} // namespace

TextRecordReader::TextRecordReader(QByteArray data) : content(std::move(data)) {
    // Some editors put a UTF-8 byte order mark in front of a file they save.
    if (content.startsWith("\xEF\xBB\xBF"))
        pos = 3;
}

void TextRecordReader::skipLineEnd() {
    if (pos >= content.size())
        return;
    if (content[pos] == '\r') {
        ++pos;
        if (pos < content.size() && content[pos] == '\n')
            ++pos;
        ++currentLine;
    } else if (content[pos] == '\n') {
        ++pos;
        ++currentLine;
    }
}

void TextRecordReader::skipBlanks() {
    while (pos < content.size()) {
        const char c = content[pos];
        if (IsBlank(c))
            ++pos;
        else if (IsLineEnd(c))
            skipLineEnd();
        else
            break;
    }
}

bool TextRecordReader::atEnd() const {
    for (qsizetype i = pos; i < content.size(); ++i) {
        if (!IsBlank(content[i]) && !IsLineEnd(content[i]))
            return false;
    }
    return true;
}

bool TextRecordReader::fail(Fault fault, const QByteArray& item) {
    lastFault = fault;
    lastFaultItem = item;
    return false;
}

bool TextRecordReader::readItem(QByteArray& item) {
    lastFault = Fault::None;
    lastFaultItem.clear();
    skipBlanks();
    itemLine = currentLine;
    if (pos >= content.size())
        return fail(Fault::EndOfData, {});

    if (content[pos] == '"') {
        const qsizetype start = pos + 1;
        qsizetype end = start;
        while (end < content.size() && content[end] != '"' && !IsLineEnd(content[end]))
            ++end;
        if (end >= content.size() || content[end] != '"') {
            pos = end;
            return fail(Fault::NoClosingQuote, content.mid(start - 1, end - start + 1));
        }
        item = content.mid(start, end - start);
        pos = end + 1;
        while (pos < content.size() && IsBlank(content[pos]))
            ++pos;
        if (pos < content.size() && content[pos] != ',' && !IsLineEnd(content[pos]))
            return fail(Fault::TextAfterQuote, content.mid(start - 1, pos - start + 2));
    } else {
        const qsizetype start = pos;
        while (pos < content.size() && content[pos] != ',' && !IsLineEnd(content[pos]))
            ++pos;
        qsizetype end = pos;
        while (end > start && IsBlank(content[end - 1]))
            --end;
        item = content.mid(start, end - start);
    }

    // One separator belongs to the item: a comma or a line end.
    if (pos < content.size()) {
        if (content[pos] == ',')
            ++pos;
        else
            skipLineEnd();
    }
    return true;
}

bool TextRecordReader::readText(QString& value) {
    QByteArray item;
    if (!readItem(item))
        return false;
    value = QString::fromUtf8(item);
    return true;
}

bool TextRecordReader::readInteger(qint64& value) {
    QByteArray item;
    if (!readItem(item))
        return false;
    const bool negative = item.startsWith('-');
    const qsizetype first = negative ? 1 : 0;
    if (item.size() == first)
        return fail(Fault::NotANumber, item);
    // Accumulate towards the negative side so that the most negative value fits.
    qint64 result = 0;
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    for (qsizetype i = first; i < item.size(); ++i) {
        const char c = item[i];
        if (c < '0' || c > '9')
            return fail(Fault::NotANumber, item);
    }
    for (qsizetype i = first; i < item.size(); ++i) {
        const int digit = item[i] - '0';
        if (result < (lowest + digit) / 10)
            return fail(Fault::NumberTooLarge, item);
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == lowest)
            return fail(Fault::NumberTooLarge, item);
        result = -result;
    }
    value = result;
    return true;
}

QString TextRecordReader::faultMessage(const QString& what) const {
    const QString item = faultItem();
    switch (lastFault) {
    case Fault::None:
        return {};
    case Fault::EndOfData:
        return QStringLiteral("%1 is missing, the file ends").arg(what);
    case Fault::NotANumber:
        if (item.isEmpty())
            return QStringLiteral("%1 is empty instead of a number").arg(what);
        return QStringLiteral("%1 \"%2\" is not a number").arg(what, item);
    case Fault::NumberTooLarge:
        return QStringLiteral("%1 %2 is too large").arg(what, item);
    case Fault::NoClosingQuote:
        return QStringLiteral("%1 %2 has no closing quote").arg(what, item);
    case Fault::TextAfterQuote:
        return QStringLiteral("%1 %2 has text after its closing quote").arg(what, item);
    }
    return {};
}

void TextRecordWriter::writeInteger(qint64 value) {
    written += QByteArray::number(value);
    written += "\r\n";
}

} // namespace varn
