#pragma once

#include <QByteArray>
#include <QString>

namespace varn {

// Reads the item-by-item text format of the configuration files: items are
// separated by commas or line ends (CR LF, LF or CR), spaces before an item
// are skipped, a text item may be enclosed in double quotes (the quotes are
// not part of the value, a comma between them belongs to the text), and a
// number is a decimal integer with an optional "-". Blank lines between items
// are skipped, and so are spaces after an unquoted item and a leading UTF-8
// byte order mark.
class TextRecordReader {
public:
    enum class Fault {
        None,
        EndOfData,      // reading past the end
        NotANumber,     // the item is not a decimal integer
        NumberTooLarge, // more than a 64-bit integer holds
        NoClosingQuote, // a quoted item runs to the end of its line
        TextAfterQuote, // something other than a separator follows the closing quote
    };

    explicit TextRecordReader(QByteArray data);

    // Both return false on a fault and leave value unchanged; fault(),
    // line() and faultMessage() then say what went wrong and where.
    bool readText(QString& value);
    bool readInteger(qint64& value);

    // Nothing but spaces and line ends is left.
    bool atEnd() const;

    // The line (from 1) on which the last item read, or attempted, begins;
    // at the end of the data, the line the data ends on.
    int line() const { return itemLine; }
    Fault fault() const { return lastFault; }
    // The offending item as it stands in the file (empty for EndOfData).
    QString faultItem() const { return QString::fromUtf8(lastFaultItem); }
    // The last fault as a phrase about the value named by what, for example
    // "size \"8K\" is not a number".
    QString faultMessage(const QString& what) const;

private:
    bool readItem(QByteArray& item);
    void skipBlanks();
    void skipLineEnd();
    bool fail(Fault fault, const QByteArray& item);

    QByteArray content;
    qsizetype pos = 0;
    int currentLine = 1;
    int itemLine = 1;
    Fault lastFault = Fault::None;
    QByteArray lastFaultItem;
};

// Writes values the way the configuration files hold them: each integer in
// decimal, "-" when negative, no spaces, followed by CR LF.
class TextRecordWriter {
public:
    void writeInteger(qint64 value);
    const QByteArray& data() const { return written; }

private:
    QByteArray written;
};

} // namespace varn
