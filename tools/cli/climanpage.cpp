#include "climanpage.h"

#include "clioptions.h"
#include "exitstatus.h"

#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

namespace varn {

namespace {

// Backslashes as roff wants them, and every minus sign of an option name
// ("--allow-partial", "-q") as a real minus, so that it survives copy and
// paste; other hyphens stay hyphens.
QString escaped(const QString& text) {
    static const QRegularExpression option(
        QStringLiteral("(^|[\\s(\\[|,/])(--?[A-Za-z0-9][A-Za-z0-9-]*)"));
    const QString plain = QString(text).replace(QLatin1Char('\\'), QStringLiteral("\\e"));
    QString out;
    qsizetype done = 0;
    QRegularExpressionMatchIterator it = option.globalMatch(plain);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out += plain.mid(done, match.capturedStart(2) - done);
        out += match.captured(2).replace(QLatin1Char('-'), QStringLiteral("\\-"));
        done = match.capturedEnd(2);
    }
    return out + plain.mid(done);
}

// A help text's lines as roff input lines: roff fills them into paragraphs;
// a line starting with a dot or a quote would be taken for a request.
QString bodyLines(const QString& help) {
    QString out;
    for (const QString& line : help.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('.')) || line.startsWith(QLatin1Char('\'')))
            out += QStringLiteral("\\&");
        out += escaped(line) + QLatin1Char('\n');
    }
    return out;
}

// "--port N|PATH", "load FILE", "-q, --quiet": option names and literal
// words bold, placeholders (upper case) italic, punctuation plain.
QString synopsisLine(const QString& synopsis) {
    static const QRegularExpression word(QStringLiteral("-*[A-Za-z0-9_.:]+[A-Za-z0-9_.:-]*"));
    QString out;
    qsizetype done = 0;
    QRegularExpressionMatchIterator it = word.globalMatch(synopsis);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out += escaped(synopsis.mid(done, match.capturedStart() - done));
        const QString text = match.captured();
        const bool literal = text.startsWith(QLatin1Char('-')) || text != text.toUpper();
        out += (literal ? QStringLiteral("\\fB") : QStringLiteral("\\fI")) +
               QString(text).replace(QLatin1Char('-'), QStringLiteral("\\-")) +
               QStringLiteral("\\fR");
        done = match.capturedEnd();
    }
    return out + escaped(synopsis.mid(done));
}

QString rowsSection(const QList<CliHelpRow>& rows) {
    QString out;
    for (const CliHelpRow& row : rows)
        out += QStringLiteral(".TP\n") + synopsisLine(row.synopsis) + QLatin1Char('\n') +
               bodyLines(row.help);
    return out;
}

QString exitStatusSection() {
    QString out;
    for (const ExitStatusRow& row : ExitStatusRows)
        out += QStringLiteral(".TP\n.B %1\n").arg(row.status) +
               bodyLines(QString::fromUtf8(row.meaning));
    return out + QStringLiteral(".PP\n") + bodyLines(ExitStatusNote());
}

// "--hook-timeout" and "-q" as code in Markdown.
QString markdownCode(const QString& text) {
    static const QRegularExpression option(
        QStringLiteral("(^|[\\s(\\[|,/])(--?[A-Za-z0-9][A-Za-z0-9-]*)"));
    return QString(text).replace(option, QStringLiteral("\\1`\\2`"));
}

} // namespace

QString StatusTableMarkdown() {
    QString table = QStringLiteral("| Status | Meaning |\n|---|---|\n");
    for (const ExitStatusRow& row : ExitStatusRows)
        table +=
            QStringLiteral("| %1 | %2 |\n")
                .arg(row.status)
                .arg(markdownCode(
                    QString::fromUtf8(row.meaning).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    return table;
}

QString WithStatusTable(const QString& readme) {
    const QString header = QStringLiteral("| Status | Meaning |\n");
    const qsizetype start = readme.indexOf(header);
    if (start < 0)
        return readme;
    // The table ends at the first line that is not a row.
    qsizetype end = start;
    while (end < readme.size() && readme.at(end) == QLatin1Char('|')) {
        const qsizetype next = readme.indexOf(QLatin1Char('\n'), end);
        end = next < 0 ? readme.size() : next + 1;
    }
    return readme.left(start) + StatusTableMarkdown() + readme.mid(end);
}

QString CliManPage(const QString& pageTemplate) {
    QString page;
    for (const QString& line : pageTemplate.split(QLatin1Char('\n'))) {
        if (line == QLatin1String(".\\\" generated: operations"))
            page += rowsSection(CliOperationRows());
        else if (line == QLatin1String(".\\\" generated: options"))
            page += rowsSection(CliOptionRows());
        else if (line == QLatin1String(".\\\" generated: exit status"))
            page += exitStatusSection();
        else
            page += line + QLatin1Char('\n');
    }
    page.chop(1); // the template's own last newline
    return page;
}

} // namespace varn

namespace {

// varn-cli-manpage --readme README: the exit-status table put in afresh.
int rewriteReadme(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << path << ": " << file.errorString() << '\n';
        return 1;
    }
    const QString before = QString::fromUtf8(file.readAll());
    file.close();
    const QString after = varn::WithStatusTable(before);
    if (after == before)
        return 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(after.toUtf8()) < 0 ||
        !file.flush()) {
        QTextStream(stderr) << path << ": " << file.errorString() << '\n';
        return 1;
    }
    return 0;
}

} // namespace

// Build step: varn-cli-manpage TEMPLATE OUTPUT. varn-cli-manpage --readme
// README writes the exit-status table into the README.
int main(int argc, char* argv[]) {
    if (argc == 3 && QLatin1String(argv[1]) == QLatin1String("--readme"))
        return rewriteReadme(QString::fromLocal8Bit(argv[2]));
    if (argc != 3) {
        QTextStream(stderr) << "usage: varn-cli-manpage TEMPLATE OUTPUT\n"
                               "       varn-cli-manpage --readme README.md\n";
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << argv[1] << ": " << in.errorString() << '\n';
        return 1;
    }
    const QString page = varn::CliManPage(QString::fromUtf8(in.readAll()));
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(page.toUtf8()) < 0 ||
        !out.flush()) {
        QTextStream(stderr) << argv[2] << ": " << out.errorString() << '\n';
        return 1;
    }
    return 0;
}
