#pragma once

#include "core/appstate.h"
#include "core/status.h"
#include "files/imagefiles.h"
#include "production/chipfield.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace varn {

// The job file's extension, as File > Save Job offers it.
inline constexpr const char* JobFileSuffix = "varnjob";

// Everything a production run needs that an operator must not get wrong: the
// image (its file's bytes embedded, or a path and the SHA-256 those bytes must
// have), how it is loaded, the device, the functions, the options and the
// serial number's series. Stored as JSON (doc/job.md describes the format).
struct ProductionJob {
    // The format's version; a job of a newer version is refused rather than
    // half understood. 2 added the per-chip fields: a job without any is
    // still written as version 1, which earlier programs read.
    static constexpr int Version = 2;

    // The image file as it was loaded when the job was made.
    QString imageName;         // file name, for records and messages
    QString imagePath;         // a reference (relative: to the job's folder); empty when embedded
    QByteArray imageBytes;     // the file's bytes when embedded; empty for a reference
    QString imageSha256;       // of the file's bytes, lower-case hex
    LoadOptions load;          // format (never ByName) and offsets
    quint32 expectedCrc32 = 0; // of the device's part of the buffer once loaded

    QString deviceName; // for messages; the code decides
    int deviceCode = 0;
    qint32 deviceSize = 0;

    // Function codes in order (FnAuto alone: the Auto steps below).
    QList<int> functions;
    QList<int> autoSteps;
    bool onlyImage = false;
    bool skipBlank = false;
    // The image may hold bytes outside the device: they are left out.
    bool allowPartial = false;
    int timeoutMs = 1000;
    int retries = 0;

    // The serial series whose numbers the chips get; empty: none.
    QString serialSeries;
    qint64 serialAddress = -1;
    bool serialOverwrite = false;
    // Each programmed chip's own fields beyond its serial number.
    QList<ChipField> fields;

    int units = 1;
    int stopAfterFailures = 0; // 0: never

    bool embedded() const { return imagePath.isEmpty(); }
};

// The job as JSON text, and back. Reading refuses a job whose digest does not
// match its content (or that has none), then checks every field's type and
// range and names the first that is wrong; it does not look at the image or
// the device table (OpenJob does).
QByteArray JobToJson(const ProductionJob& job);
// The digest a job's JSON object carries in "digest": SHA-256 (lower-case
// hex) of the object without "digest", as compact JSON with sorted keys.
// Every field the job holds is under it, so reading refuses an edited job.
// It catches edits and damage, not a forger: anyone can compute it.
QString JobDigest(QJsonObject root);
Status JobFromJson(const QByteArray& json, ProductionJob* job);

Status WriteJobFile(const QString& path, const ProductionJob& job);
Status ReadJobFile(const QString& path, ProductionJob* job);

// The image's file bytes and their SHA-256 (lower-case hex).
QString Sha256Hex(const QByteArray& bytes);

// Makes a job's image part from the file the buffer was loaded from: its
// bytes are read again now, embedded (or referenced by path) with their
// SHA-256.
Status TakeJobImage(const QString& filePath, const LoadOptions& load, bool embed,
                    ProductionJob* job);

// A job of the buffer as loaded from filePath: the file's bytes (embedded, or
// referenced relative to the job at jobPath), the selected device, the
// buffer's CRC-32, and Auto with the configuration's steps; the caller sets
// the options. When the file alone does not give the buffer (it was loaded
// onto an earlier load's bytes), the job embeds the buffer itself as an
// S-record image named after the file ("app-merged.srec"); a reference to
// the file is then refused.
Status JobFromBuffer(const AppState& state, const QString& filePath, const LoadOptions& load,
                     bool embed, const QString& jobPath, ProductionJob* job);

// Opens a job onto state, before anything is sent to a unit: the image's
// bytes (embedded, or read from the path relative to jobFolder) must have the
// job's SHA-256, its device code must be in state's device table (which it
// then selects, with the job's Auto steps), the image must load and then have
// the job's CRC-32. A refusal says which check failed and changes nothing.
Status OpenJob(const ProductionJob& job, const QString& jobFolder, AppState& state);

// Why the job must not program its image, loaded onto state with the job's
// device selected (empty when it may): the image holds bytes outside the
// device and the job does not allow a partial image. Making a job and
// opening one both ask.
QString JobImageFitProblem(const ProductionJob& job, const AppState& state);

} // namespace varn
