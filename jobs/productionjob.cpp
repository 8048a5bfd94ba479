#include "productionjob.h"

#include "core/bufferops.h"
#include "core/crc32.h"
#include "core/devicebounds.h"
#include "core/wholefile.h"
#include "functions/functiontable.h"
#include "link/replypolicy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>

namespace varn {

namespace {

// A job is small; an image file as large as an ELF may be, base64 and all.
constexpr qint64 MaxJobFileSize = 96ll << 20;
constexpr qint64 MaxImageFileSize = 64ll << 20;
constexpr int MaxUnits = 64;

QString hexText(qint64 value) {
    return QString::number(value, 16).toUpper();
}

QString functionWord(int code) {
    const FunctionRow* row = FindFunction(code);
    return row ? QString::fromLatin1(row->word) : QString::number(code);
}

QJsonArray functionWords(const QList<int>& codes) {
    QJsonArray words;
    for (const int code : codes)
        words.append(functionWord(code));
    return words;
}

// Reads a JSON object's fields, keeping the first fault with its field's name.
class Fields {
public:
    Fields(const QJsonObject& object, const QString& prefix) : object(object), prefix(prefix) {}

    QString text(const char* name, bool required = true) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined() && !required)
            return {};
        if (!value.isString())
            return fault(name, QStringLiteral("text is needed")), QString();
        return value.toString();
    }
    qint64 number(const char* name, qint64 low, qint64 high, qint64 otherwise) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined())
            return otherwise;
        const double d = value.toDouble(-1);
        if (!value.isDouble() || d != double(qint64(d)) || d < double(low) || d > double(high))
            return fault(
                       name,
                       QStringLiteral("a whole number from %1 to %2 is needed").arg(low).arg(high)),
                   otherwise;
        return qint64(d);
    }
    qint64 hex(const char* name, qint64 high, qint64 otherwise) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (value.isUndefined())
            return otherwise;
        bool ok = false;
        const qint64 number = value.toString().toLongLong(&ok, 16);
        if (!value.isString() || !ok || number < 0 || number > high)
            return fault(
                       name,
                       QStringLiteral("hexadecimal digits up to %1 are needed").arg(hexText(high))),
                   otherwise;
        return number;
    }
    bool flag(const char* name) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (!value.isUndefined() && !value.isBool())
            fault(name, QStringLiteral("true or false is needed"));
        return value.toBool(false);
    }
    QList<int> functions(const char* name, bool steps) {
        QList<int> codes;
        const QJsonValue value = object.value(QLatin1String(name));
        if (!value.isArray())
            return fault(name, QStringLiteral("a list of function names is needed")), codes;
        for (const QJsonValue& word : value.toArray()) {
            const FunctionRow* found = nullptr;
            for (const FunctionRow& row : FunctionTable())
                if (word.toString() == QLatin1String(row.word) && (!steps || row.autoStep))
                    found = &row;
            if (!found) {
                fault(name, QStringLiteral("\"%1\" is not a %2")
                                .arg(word.toString(), steps ? QStringLiteral("step of Auto")
                                                            : QStringLiteral("device function")));
                break;
            }
            codes.append(found->code);
        }
        return codes;
    }
    void fault(const char* name, const QString& what) {
        if (problem.isEmpty())
            problem = QStringLiteral("%1%2: %3").arg(prefix, QLatin1String(name), what);
    }

    QString problem;

private:
    QJsonObject object;
    QString prefix;
};

} // namespace

namespace {

// A job's image bytes loaded as a station loads them: alone, onto a cleared
// buffer.
Status LoadJobImage(const QByteArray& bytes, const LoadOptions& load, const QString& name,
                    AppState& target) {
    ClearBuffer(target);
    // The loaders read files; the checked bytes go to one only this process
    // writes.
    QTemporaryDir folder;
    const QString copy = folder.filePath(QStringLiteral("image"));
    if (const Status written = WriteWholeFile(copy, bytes); !folder.isValid() || !written)
        return Status::Fail(
            QStringLiteral("The job's image cannot be prepared: %1").arg(written.message));
    const LoadResult loaded = LoadImageFile(copy, load, target);
    if (!loaded.ok())
        return Status::Fail(QStringLiteral("The job's image %1 does not load: %2")
                                .arg(name, QString(loaded.status.message).replace(copy, name)));
    return Status::Ok();
}

// The buffer as S-record text that loads back to the same bytes: every
// defined byte wherever it lies (outside the device too, which a partial
// image may hold) and every other byte that is not an erased FF, with the
// start address.
Status BufferImageBytes(const AppState& state, const QString& name, QByteArray* bytes) {
    auto whole = std::make_unique<AppState>();
    whole->Buffer = state.Buffer;
    whole->defined = state.defined;
    whole->startAddress = state.startAddress;
    for (size_t i = 0; i < size_t(BufferSize); ++i)
        if (state.Buffer[i] != 0xFF)
            whole->defined.set(i);
    whole->DeviceTable[1] = {name, 1, BufferSize};
    whole->DeviceCount = 1;
    whole->SelectedDevice = 1;
    return ImageFileBytes(*whole, SaveOptions{FileFormat::SRecord, true}, name, *bytes);
}

} // namespace

QString Sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString JobDigest(QJsonObject root) {
    root.remove(QStringLiteral("digest"));
    // Compact and with sorted keys (QJsonObject keeps them sorted): the same
    // content gives the same text whatever an editor did to the layout.
    return Sha256Hex(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

QByteArray JobToJson(const ProductionJob& job) {
    QJsonObject image{
        {QStringLiteral("name"), job.imageName},
        {QStringLiteral("sha256"), job.imageSha256},
        {QStringLiteral("format"), QLatin1String(ImageFormatOf(job.load.format).word)},
        {QStringLiteral("fileOffset"), hexText(job.load.fileOffset)},
        {QStringLiteral("bufferOffset"), hexText(job.load.bufferOffset)},
        {QStringLiteral("relocate"), hexText(job.load.relocate)},
        {QStringLiteral("crc32"), Crc32Text(job.expectedCrc32)},
    };
    if (job.embedded())
        image.insert(QStringLiteral("data"), QString::fromLatin1(job.imageBytes.toBase64()));
    else
        image.insert(QStringLiteral("path"), job.imagePath);
    QJsonObject root{
        {QStringLiteral("format"), QStringLiteral("varn-job")},
        {QStringLiteral("version"), job.fields.isEmpty() ? 1 : ProductionJob::Version},
        {QStringLiteral("image"), image},
        {QStringLiteral("device"), QJsonObject{{QStringLiteral("name"), job.deviceName},
                                               {QStringLiteral("code"), job.deviceCode},
                                               {QStringLiteral("size"), job.deviceSize}}},
        {QStringLiteral("functions"), functionWords(job.functions)},
        {QStringLiteral("onlyImage"), job.onlyImage},
        {QStringLiteral("skipBlank"), job.skipBlank},
        {QStringLiteral("allowPartial"), job.allowPartial},
        {QStringLiteral("timeoutMs"), job.timeoutMs},
        {QStringLiteral("retries"), job.retries},
        {QStringLiteral("units"), job.units},
        {QStringLiteral("stopAfterFailures"), job.stopAfterFailures},
    };
    if (job.functions == QList<int>{FnAuto})
        root.insert(QStringLiteral("autoSteps"), functionWords(job.autoSteps));
    if (!job.serialSeries.isEmpty())
        root.insert(QStringLiteral("serial"),
                    QJsonObject{{QStringLiteral("series"), job.serialSeries},
                                {QStringLiteral("address"), hexText(job.serialAddress)},
                                {QStringLiteral("overwrite"), job.serialOverwrite}});
    if (!job.fields.isEmpty())
        root.insert(QStringLiteral("fields"), QJsonArray::fromStringList(FieldsToText(job.fields)));
    root.insert(QStringLiteral("digest"), JobDigest(root));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

Status JobFromJson(const QByteArray& json, ProductionJob* out) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull() || !document.isObject())
        return Status::Fail(error.error != QJsonParseError::NoError
                                ? QStringLiteral("not a job file: %1 at byte %2")
                                      .arg(error.errorString())
                                      .arg(error.offset)
                                : QStringLiteral("not a job file: a JSON object is needed"));
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("format")).toString() != QLatin1String("varn-job"))
        return Status::Fail(QStringLiteral("not a job file: \"format\" is not \"varn-job\""));
    const int version = root.value(QStringLiteral("version")).toInt(0);
    if (version < 1 || version > ProductionJob::Version)
        return Status::Fail(QStringLiteral("job version %1: this program reads version 1 to %2")
                                .arg(root.value(QStringLiteral("version")).toVariant().toString())
                                .arg(ProductionJob::Version));
    // Before any field is read: a job edited by hand is refused for that,
    // whatever the edit made of the field. Without a digest there is nothing
    // to tell an edited job from an old one, so an old one is refused too
    // (accepting it would let anyone pass an edit by deleting one line).
    const QJsonValue digest = root.value(QStringLiteral("digest"));
    if (digest.isUndefined())
        return Status::Fail(QStringLiteral("the job carries no digest of its content (it was made "
                                           "by an earlier program): make it again with job create "
                                           "or File > Save Job"));
    if (digest.toString().toLower() != JobDigest(root))
        return Status::Fail(QStringLiteral("the job was changed since it was made (its content "
                                           "does not have the SHA-256 its digest names): make it "
                                           "again with job create or File > Save Job"));

    ProductionJob job;
    Fields top(root, QString());
    Fields image(root.value(QStringLiteral("image")).toObject(), QStringLiteral("image."));
    Fields device(root.value(QStringLiteral("device")).toObject(), QStringLiteral("device."));
    job.imageName = image.text("name");
    job.imageSha256 = image.text("sha256").toLower();
    if (job.imageSha256.size() != 64 ||
        QByteArray::fromHex(job.imageSha256.toLatin1()).size() != 32)
        image.fault("sha256", QStringLiteral("64 hexadecimal digits are needed"));
    const QString format = image.text("format");
    const QList<ImageFormatRow> formats = ImageFormats();
    const auto row = std::find_if(formats.begin(), formats.end(), [&](const ImageFormatRow& r) {
        return format == QLatin1String(r.word);
    });
    if (row == formats.end())
        image.fault("format", ImageFormatWords() + QStringLiteral(" is needed"));
    else
        job.load.format = row->format;
    job.load.fileOffset = image.hex("fileOffset", 0xFFFFFFFFll, 0);
    job.load.bufferOffset = image.hex("bufferOffset", BufferLast, 0);
    job.load.relocate = image.hex("relocate", 0xFFFFFFFFll, 0);
    job.expectedCrc32 = quint32(image.hex("crc32", 0xFFFFFFFFll, 0));
    if (root.value(QStringLiteral("image")).toObject().value(QStringLiteral("crc32")).isUndefined())
        image.fault("crc32", QStringLiteral("the image's CRC-32 is needed"));
    job.imagePath = image.text("path", false);
    const QString data = image.text("data", false);
    if (job.imagePath.isEmpty() == data.isEmpty())
        image.fault("data", QStringLiteral("either the embedded data or a path is needed"));
    job.imageBytes = QByteArray::fromBase64(data.toLatin1());

    job.deviceName = device.text("name");
    job.deviceCode = int(device.number("code", 1, MaxDeviceCode, 0));
    job.deviceSize = qint32(device.number("size", 1, MaxDeviceSize, 0));
    if (!job.deviceCode || !job.deviceSize)
        device.fault("code", QStringLiteral("the device's code and size are needed"));

    job.functions = top.functions("functions", false);
    if (job.functions.isEmpty() ||
        (job.functions.contains(FnAuto) && job.functions != QList<int>{FnAuto}))
        top.fault("functions", QStringLiteral("device functions, or \"auto\" alone"));
    if (job.functions == QList<int>{FnAuto}) {
        job.autoSteps = top.functions("autoSteps", true);
        if (job.autoSteps.size() > MaxAutoCount)
            top.fault("autoSteps", QStringLiteral("at most %1 steps").arg(MaxAutoCount));
    }
    job.onlyImage = top.flag("onlyImage");
    job.skipBlank = top.flag("skipBlank");
    job.allowPartial = top.flag("allowPartial");
    job.timeoutMs = int(top.number("timeoutMs", 1, ReplyPolicy::MaxTimeoutMs, 1000));
    job.retries = int(top.number("retries", 0, ReplyPolicy::MaxRetries, 0));
    job.units = int(top.number("units", 1, MaxUnits, 1));
    job.stopAfterFailures = int(top.number("stopAfterFailures", 0, 1000000, 0));
    if (root.contains(QStringLiteral("serial"))) {
        Fields serial(root.value(QStringLiteral("serial")).toObject(), QStringLiteral("serial."));
        job.serialSeries = serial.text("series");
        job.serialAddress = serial.hex("address", BufferLast, -1);
        job.serialOverwrite = serial.flag("overwrite");
        if (job.serialAddress < 0)
            serial.fault("address", QStringLiteral("where the number goes is needed"));
        if (!serial.problem.isEmpty())
            return Status::Fail(serial.problem);
    }
    if (root.contains(QStringLiteral("fields"))) {
        QStringList lines;
        for (const QJsonValue& line : root.value(QStringLiteral("fields")).toArray())
            lines.append(line.toString());
        if (const Status read = FieldsFromText(lines, &job.fields); !read)
            top.fault("fields", read.message);
        else if (lines.isEmpty() || !root.value(QStringLiteral("fields")).isArray())
            top.fault("fields", QStringLiteral("a list of field lines is needed"));
    }
    for (const Fields* fields : {&image, &device, &top})
        if (!fields->problem.isEmpty())
            return Status::Fail(fields->problem);
    *out = job;
    return Status::Ok();
}

Status WriteJobFile(const QString& path, const ProductionJob& job) {
    if (const Status written = WriteWholeFile(path, JobToJson(job)); !written)
        return Status::Fail(
            QStringLiteral("%1: cannot write the job: %2").arg(path, written.message));
    return Status::Ok();
}

Status ReadJobFile(const QString& path, ProductionJob* job) {
    const WholeFileRead read = ReadWholeFile(path, MaxJobFileSize);
    if (!read)
        return Status::Fail(
            QStringLiteral("%1: cannot read the job: %2").arg(path, read.describe(MaxJobFileSize)));
    if (const Status parsed = JobFromJson(read.bytes, job); !parsed)
        return Status::Fail(QStringLiteral("%1: %2").arg(path, parsed.message));
    return Status::Ok();
}

Status TakeJobImage(const QString& filePath, const LoadOptions& load, bool embed,
                    ProductionJob* job) {
    const WholeFileRead read = ReadWholeFile(filePath, MaxImageFileSize);
    if (!read)
        return Status::Fail(QStringLiteral("%1: cannot read the image for the job: %2")
                                .arg(filePath, read.describe(MaxImageFileSize)));
    job->imageName = QFileInfo(filePath).fileName();
    job->imageSha256 = Sha256Hex(read.bytes);
    job->imageBytes = embed ? read.bytes : QByteArray();
    job->imagePath = embed ? QString() : QFileInfo(filePath).absoluteFilePath();
    job->load = load;
    job->load.refuseOtherFormat = false;
    return Status::Ok();
}

Status JobFromBuffer(const AppState& state, const QString& filePath, const LoadOptions& load,
                     bool embed, const QString& jobPath, ProductionJob* job) {
    if (state.SelectedDevice < 1 || state.DeviceSize() <= 0)
        return Status::Fail(QStringLiteral("No device is selected."));
    if (const Status taken = TakeJobImage(filePath, load, true, job); !taken)
        return taken;
    // A station loads the job's image alone. A file loaded onto other bytes
    // (a boot loader, then the application) is only part of the buffer: a
    // job of that file would carry this buffer's CRC-32 and be refused
    // everywhere. Such a buffer goes into the job whole.
    auto alone = std::make_unique<AppState>(state);
    const bool fileIsBuffer = LoadJobImage(job->imageBytes, job->load, job->imageName, *alone) &&
                              alone->Buffer == state.Buffer && alone->defined == state.defined;
    if (!fileIsBuffer) {
        if (!embed)
            return Status::Fail(
                QStringLiteral("%1 alone does not give the buffer (it was loaded onto other "
                               "bytes, or has changed since): a job that names the file would "
                               "program something else. Embed the image, or clear the buffer "
                               "and load the file alone.")
                    .arg(QFileInfo(filePath).fileName()));
        const QString name =
            QFileInfo(filePath).completeBaseName() + QStringLiteral("-merged.srec");
        QByteArray bytes;
        if (const Status made = BufferImageBytes(state, name, &bytes); !made)
            return made;
        job->imageName = name;
        job->imageBytes = bytes;
        job->imageSha256 = Sha256Hex(bytes);
        job->load = LoadOptions{FileFormat::SRecord};
    }
    // A reference relative to the job, so that both can move together.
    if (!embed) {
        job->imageBytes.clear();
        job->imagePath = QFileInfo(jobPath).absoluteDir().relativeFilePath(
            QFileInfo(filePath).absoluteFilePath());
    }
    job->expectedCrc32 = BufferCrc32(state);
    job->deviceName = state.SelectedEntry().Name;
    job->deviceCode = state.SelectedEntry().Code;
    job->deviceSize = state.DeviceSize();
    job->functions = {FnAuto};
    job->autoSteps.clear();
    for (int i = 1; i <= qBound(0, int(state.AutoCount), MaxAutoCount); ++i)
        job->autoSteps.append(state.AutoList[i]);
    return Status::Ok();
}

Status OpenJob(const ProductionJob& job, const QString& jobFolder, AppState& state) {
    QByteArray bytes = job.imageBytes;
    if (!job.embedded()) {
        const QString path = QDir(jobFolder).absoluteFilePath(job.imagePath);
        const WholeFileRead read = ReadWholeFile(path, MaxImageFileSize);
        if (!read)
            return Status::Fail(QStringLiteral("The job's image %1 cannot be read: %2")
                                    .arg(path, read.describe(MaxImageFileSize)));
        bytes = read.bytes;
    }
    // Checked on the bytes that are then loaded, so that a file changed in
    // between cannot slip through.
    if (const QString sha = Sha256Hex(bytes); sha != job.imageSha256)
        return Status::Fail(QStringLiteral("The image %1 is not the job's: its SHA-256 is %2, the "
                                           "job names %3.")
                                .arg(job.imageName, sha, job.imageSha256));

    int index = 0;
    for (int i = 1; i <= qBound(0, int(state.DeviceCount), MaxDeviceCount) && !index; ++i)
        if (state.DeviceTable[i].Code == job.deviceCode)
            index = i;
    if (!index)
        return Status::Fail(QStringLiteral("The job's device %1 (code %2) is not in varn.dev.")
                                .arg(job.deviceName)
                                .arg(job.deviceCode));
    if (state.DeviceTable[index].Size != job.deviceSize)
        return Status::Fail(
            QStringLiteral("The job's device %1 (code %2) has %3 bytes in varn.dev; "
                           "the job was made for %4.")
                .arg(job.deviceName)
                .arg(job.deviceCode)
                .arg(state.DeviceTable[index].Size)
                .arg(job.deviceSize));

    auto opened = std::make_unique<AppState>(state);
    opened->SelectedDevice = qint16(index);
    if (job.functions == QList<int>{FnAuto}) {
        opened->AutoCount = qint16(job.autoSteps.size());
        for (int i = 0; i < job.autoSteps.size(); ++i)
            opened->AutoList[i + 1] = qint16(job.autoSteps[i]);
    }
    if (const Status loaded = LoadJobImage(bytes, job.load, job.imageName, *opened); !loaded)
        return loaded;
    if (const quint32 crc = BufferCrc32(*opened); crc != job.expectedCrc32)
        return Status::Fail(
            QStringLiteral("The job's image %1 gives CRC-32 %2 on %3; the job "
                           "expects %4.")
                .arg(job.imageName, Crc32Text(crc), job.deviceName, Crc32Text(job.expectedCrc32)));
    if (const QString why = JobImageFitProblem(job, *opened); !why.isEmpty())
        return Status::Fail(why);
    // Fields that cannot be written refuse the job, not each chip in turn.
    if (const QString why = ChipFieldsProblem(nullptr, false, job.fields, *opened); !why.isEmpty())
        return Status::Fail(why);
    state = *opened;
    return Status::Ok();
}

QString JobImageFitProblem(const ProductionJob& job, const AppState& state) {
    if (job.allowPartial)
        return {};
    const OutsideDevice outside = ImageOutsideDevice(state);
    if (outside.empty())
        return {};
    return OutsideDeviceText(state, outside) +
           QStringLiteral(", and the job does not allow a partial image.");
}

} // namespace varn
