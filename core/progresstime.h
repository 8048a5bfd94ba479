#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

namespace varn {

// Bytes done, time elapsed and time left of a running function, for the
// line the Function and Production windows show beside the percentage. The
// clock (milliseconds, any origin) can be replaced, so that tests choose
// the times.
class ProgressTime {
public:
    using Clock = std::function<qint64()>;

    ProgressTime();
    explicit ProgressTime(Clock clock);

    // A run of total bytes begins now.
    void Start(qint64 total, bool onlyImage);
    void Update(qint64 done);
    // The run has ended (done, failed or stopped): the elapsed time stays
    // where it was and nothing is left to wait for.
    void Stop();

    qint64 Done() const { return done; }
    qint64 Total() const { return total; }
    qint64 ElapsedMs() const;
    // From the rate so far; -1 while nothing is done yet to judge it by, and
    // once the run has ended.
    qint64 LeftMs() const;
    // "2,048 of 8,192 bytes   0:03 elapsed   0:09 left   (Only the Image)".
    QString Text() const;
    // m:ss, or h:mm:ss from an hour on.
    static QString Duration(qint64 ms);

private:
    Clock clock;
    qint64 started = 0;
    qint64 total = 0;
    qint64 done = 0;
    qint64 lastUpdate = 0;
    qint64 stopped = -1; // the clock's time at Stop; -1 while running
    bool onlyImage = false;
};

} // namespace varn
