#include "progresstime.h"

#include <QElapsedTimer>
#include <QLocale>
#include <algorithm>

namespace varn {

ProgressTime::ProgressTime()
    : ProgressTime([] {
          static QElapsedTimer timer;
          if (!timer.isValid())
              timer.start();
          return timer.elapsed();
      }) {}

ProgressTime::ProgressTime(Clock c) : clock(std::move(c)) {}

void ProgressTime::Start(qint64 totalBytes, bool imageOnly) {
    started = lastUpdate = clock();
    total = std::max<qint64>(0, totalBytes);
    done = 0;
    stopped = -1;
    onlyImage = imageOnly;
}

void ProgressTime::Update(qint64 bytesDone) {
    done = std::clamp<qint64>(bytesDone, 0, total);
    lastUpdate = clock();
}

void ProgressTime::Stop() {
    if (stopped < 0)
        stopped = clock();
}

qint64 ProgressTime::ElapsedMs() const {
    return std::max<qint64>(0, (stopped >= 0 ? stopped : clock()) - started);
}

qint64 ProgressTime::LeftMs() const {
    if (done <= 0 || stopped >= 0)
        return -1;
    // The rate up to the last update; time since then is already spent.
    const qint64 spent = lastUpdate - started;
    const qint64 expected = spent * total / done;
    return std::max<qint64>(0, expected - ElapsedMs());
}

QString ProgressTime::Duration(qint64 ms) {
    const qint64 seconds = (std::max<qint64>(0, ms) + 500) / 1000;
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString ProgressTime::Text() const {
    const QLocale english(QLocale::English);
    QString text = QStringLiteral("%1 of %2 bytes   %3 elapsed")
                       .arg(english.toString(done), english.toString(total), Duration(ElapsedMs()));
    const qint64 left = LeftMs();
    if (left >= 0)
        text += QStringLiteral("   %1 left").arg(Duration(left));
    if (onlyImage)
        text += QStringLiteral("   (Only the Image)");
    return text;
}

} // namespace varn
