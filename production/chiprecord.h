#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace varn {

// What the production log keeps of one run of a device function sequence:
// enough to say, for any board, which image went into its chip, when, on
// which station, with which serial number, and whether it passed.
struct ChipRecord {
    enum class Failure { None, Mismatch, Communication, Refused, Stopped };

    QDateTime time; // UTC, when the run began
    QString station;
    QString port;
    QString unitName;
    QString unitVersion;
    QString deviceType;
    qint64 deviceSize = 0;
    QString imageFile;
    quint32 imageCrc32 = 0;
    quint32 imageChecksum = 0;
    QStringList functions; // in the order they ran
    bool passed = false;
    // Only for a failed run:
    QString failedStep;
    Failure failure = Failure::None;
    qint64 failureAddress = -1; // mismatch: first wrong address; stopped: the address reached
    int expectedByte = -1;      // mismatch: buffer byte (0xFF for blank check)
    int actualByte = -1;        // mismatch: device byte
    QString failureDetail;      // the cause in words
    // -1 when the run carried no serial number.
    qint64 serial = -1;
    QString serialSeries;
    qint64 durationMs = 0;
    QString programVersion;

    // One line of "name=value" pairs, for standard error when the record
    // could not be stored.
    QString toText() const;
};

QString FailureName(ChipRecord::Failure failure);
ChipRecord::Failure ParseFailure(const QString& name);

// The record's fields as the log's columns, in one order shared by the
// database table, the CSV export and the text form.
struct RecordColumn {
    const char* name;
    const char* sqlType; // portable type of the column
    QVariant (*get)(const ChipRecord&);
    void (*set)(ChipRecord&, const QVariant&);
};
const QList<RecordColumn>& RecordColumns();

} // namespace varn
