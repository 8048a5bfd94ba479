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

TextRecordReader::TextRecordReader(QByteArray data) : m_data(std::move(data)) {
    // Some editors put a UTF-8 byte order mark in front of a file they save.
    if (m_data.startsWith("\xEF\xBB\xBF"))
        m_pos = 3;
}

void TextRecordReader::skipLineEnd() {
    if (m_pos >= m_data.size())
        return;
    if (m_data[m_pos] == '\r') {
        ++m_pos;
        if (m_pos < m_data.size() && m_data[m_pos] == '\n')
            ++m_pos;
        ++m_currentLine;
    } else if (m_data[m_pos] == '\n') {
        ++m_pos;
        ++m_currentLine;
    }
}

void TextRecordReader::skipBlanks() {
    while (m_pos < m_data.size()) {
        const char c = m_data[m_pos];
        if (IsBlank(c))
            ++m_pos;
        else if (IsLineEnd(c))
            skipLineEnd();
        else
            break;
    }
}

bool TextRecordReader::atEnd() const {
    for (qsizetype i = m_pos; i < m_data.size(); ++i) {
        if (!IsBlank(m_data[i]) && !IsLineEnd(m_data[i]))
            return false;
    }
    return true;
}

bool TextRecordReader::fail(Fault fault, const QByteArray& item) {
    m_fault = fault;
    m_faultItem = item;
    return false;
}

bool TextRecordReader::readItem(QByteArray& item) {
    m_fault = Fault::None;
    m_faultItem.clear();
    skipBlanks();
    m_itemLine = m_currentLine;
    if (m_pos >= m_data.size())
        return fail(Fault::EndOfData, {});

    if (m_data[m_pos] == '"') {
        const qsizetype start = m_pos + 1;
        qsizetype end = start;
        while (end < m_data.size() && m_data[end] != '"' && !IsLineEnd(m_data[end]))
            ++end;
        if (end >= m_data.size() || m_data[end] != '"') {
            m_pos = end;
            return fail(Fault::NoClosingQuote, m_data.mid(start - 1, end - start + 1));
        }
        item = m_data.mid(start, end - start);
        m_pos = end + 1;
        while (m_pos < m_data.size() && IsBlank(m_data[m_pos]))
            ++m_pos;
        if (m_pos < m_data.size() && m_data[m_pos] != ',' && !IsLineEnd(m_data[m_pos]))
            return fail(Fault::TextAfterQuote, m_data.mid(start - 1, m_pos - start + 2));
    } else {
        const qsizetype start = m_pos;
        while (m_pos < m_data.size() && m_data[m_pos] != ',' && !IsLineEnd(m_data[m_pos]))
            ++m_pos;
        qsizetype end = m_pos;
        while (end > start && IsBlank(m_data[end - 1]))
            --end;
        item = m_data.mid(start, end - start);
    }

    // One separator belongs to the item: a comma or a line end.
    if (m_pos < m_data.size()) {
        if (m_data[m_pos] == ',')
            ++m_pos;
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
    switch (m_fault) {
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
    m_data += QByteArray::number(value);
    m_data += "\r\n";
}

} // namespace varn
