#pragma once

#include <QString>

namespace varn {

// varn-cli's output: results and progress texts on standard output, errors on
// standard error, and a progress bar on standard error while a device
// function runs, drawn only when standard error is a terminal.
class CliConsole {
public:
    CliConsole(bool quiet, bool progressBar);

    static bool StandardErrorIsTerminal();

    // A status line ("Programming ...   OK!"); left out when quiet.
    void info(const QString& text);
    // Output the user asked for (a checksum, the identification); printed
    // even when quiet, so that a script can capture it.
    void result(const QString& text);
    // An error; always printed.
    void error(const QString& text);
    // A line that follows an error with advice or a consequence ("Nothing
    // was sent ..."): printed as an error, but the error stays the reason.
    void note(const QString& text);
    // Redraws the bar for the step named by label; nothing without a label.
    void progress(const QString& label, int percent);
    // Takes the bar off the screen.
    void clearProgress();

    // Put before every line, so that the lines of several units told apart
    // ("/dev/ttyUSB1: Programming ...   OK!").
    void setPrefix(const QString& text) { prefix = text; }
    // --json: standard output carries only JSON Lines; every text for people
    // goes to standard error.
    void setTextToStandardError(bool on) { textToStandardError = on; }
    // The last error printed (without the prefix): a failure's reason, for
    // the summary and run-finished.
    QString lastError() const { return lastErrorText; }
    // A new round of the same command line: its own last error.
    void forgetLastError() { lastErrorText.clear(); }

private:
    bool quiet;
    bool progressBar;
    bool barShown = false;
    int shownPercent = -1;
    QString shownLabel;
    QString prefix;
    bool textToStandardError = false;
    QString lastErrorText;
};

} // namespace varn
