#include "cliconsole.h"

#include "core/wholefile.h"

#include <QByteArray>
#include <cstdio>
#include <unistd.h>

namespace varn {

namespace {

constexpr int BarWidth = 30;

void writeLine(FILE* stream, const QString& text) {
    // File names in the text come out as the bytes they were given as.
    const QByteArray bytes = EncodeFileName(text) + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    // Scripts and test harnesses read both streams as they come.
    std::fflush(stream);
}

} // namespace

CliConsole::CliConsole(bool quiet, bool progressBar) : quiet(quiet), progressBar(progressBar) {}

bool CliConsole::StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void CliConsole::info(const QString& text) {
    if (quiet)
        return;
    clearProgress();
    writeLine(textToStandardError ? stderr : stdout, prefix + text);
}

void CliConsole::result(const QString& text) {
    clearProgress();
    writeLine(textToStandardError ? stderr : stdout, prefix + text);
}

void CliConsole::error(const QString& text) {
    note(text);
    lastErrorText = text;
}

void CliConsole::note(const QString& text) {
    clearProgress();
    writeLine(stderr, prefix + text);
}

void CliConsole::progress(const QString& label, int percent) {
    if (!progressBar || quiet || label.isEmpty())
        return;
    if (barShown && percent == shownPercent && label == shownLabel)
        return;
    const int clamped = qBound(0, percent, 100);
    const int filled = clamped * BarWidth / 100;
    const QString bar = QStringLiteral("\r%1 [%2%3] %4%")
                            .arg(label, QString(filled, QLatin1Char('#')),
                                 QString(BarWidth - filled, QLatin1Char('.')))
                            .arg(percent, 3);
    const QByteArray bytes = bar.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
    barShown = true;
    shownPercent = percent;
    shownLabel = label;
}

void CliConsole::clearProgress() {
    if (!barShown)
        return;
    // Carriage return and erase-line, so the next text starts on a clean line.
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    barShown = false;
    shownPercent = -1;
}

} // namespace varn
