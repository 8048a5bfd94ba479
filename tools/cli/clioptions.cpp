#include "clioptions.h"

#include <algorithm>

#include "exitstatus.h"
#include "functions/functiontable.h"

#include "core/hextext.h"
#include "files/imagefiles.h"
#include "link/openlink.h"
#include "link/replypolicy.h"
#include "session/logaccess.h"

#include <QRegularExpression>
#include <limits>

namespace varn {

namespace {

bool isAllDigits(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return digits.match(text).hasMatch();
}

Status readHexArgument(const QString& what, const QString& text, qint64& value) {
    const Status status = ReadTypedOffset(text, value);
    if (!status)
        return Status::Fail(QStringLiteral("%1 \"%2\": %3").arg(what, text, status.message));
    return Status::Ok();
}

// --- Options -------------------------------------------------------------
// One row per option: its names, whether it takes a value, what it does to
// the options, and its lines of --help. A new option is one new row (and its
// field in CliOptions).

using ApplyOption = Status (*)(const QString& name, const QString& value, CliOptions& options);

// Optional: "--name=value", or the next argument unless it is an option or
// an operation word.
enum class OptionValue { None, Required, Optional, Ignored };

struct OptionEntry {
    const char* name;
    const char* shortName; // or nullptr
    OptionValue value;
    ApplyOption apply;
    const char* synopsis; // --help's left column; nullptr: listed with another row
    const char* help;     // "\n" starts a continuation line
    const char* excludes; // an earlier row's option this one cannot go with, or nullptr
};

Status readNumberArgument(const QString& name, const QString& value, qint64 low, qint64 high,
                          qint64& out) {
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    if (!ok || number < low || number > high)
        return Status::Fail(QStringLiteral("%1 %2: a number from %3 to %4 is needed")
                                .arg(name, value)
                                .arg(low)
                                .arg(high));
    out = number;
    return Status::Ok();
}

// An ISO 8601 date (a whole day) or date and time; Z or an offset names the
// zone, without one it is local time, as the clock on the wall shows it.
Status readTimeArgument(const QString& name, const QString& value, bool endOfDay, QDateTime& out) {
    // Qt reads the date of "2026-12-06T14:30" and drops the time: a date
    // alone is exactly ten characters.
    const QDate date = value.size() == 10 ? QDate::fromString(value, Qt::ISODate) : QDate();
    if (date.isValid()) {
        out = QDateTime(endOfDay ? date.addDays(1) : date, QTime(0, 0), Qt::LocalTime).toUTC();
        return Status::Ok();
    }
    const QDateTime time = QDateTime::fromString(value, Qt::ISODateWithMs);
    if (!time.isValid())
        return Status::Fail(QStringLiteral("%1 %2: give an ISO 8601 date (2026-12-06) or date and "
                                           "time (2026-12-06T14:30, with Z or +01:00 for a zone; "
                                           "without one, local time)")
                                .arg(name, value));
    out = time.toUTC();
    return Status::Ok();
}

Status applySerial(const QString& name, const QString& value, CliOptions& options) {
    SerialSettings& serial = options.plan.serial;
    if (name == QLatin1String("--serial-address")) {
        serial.enabled = true;
        return readHexArgument(name, value, serial.address);
    }
    if (name == QLatin1String("--serial")) {
        serial.name = value;
        return CheckSeriesName(value);
    }
    if (name == QLatin1String("--serial-overwrite")) {
        options.plan.serialOverwrite = true;
        return Status::Ok();
    }
    if (!options.seriesOptions.contains(name))
        options.seriesOptions.append(name);
    if (name == QLatin1String("--serial-maximum"))
        return readNumberArgument(name, value, 0, std::numeric_limits<qint64>::max(), serial.limit);
    if (name == QLatin1String("--serial-length")) {
        qint64 length = 0;
        const Status status = readNumberArgument(name, value, 1, 8, length);
        serial.length = int(length);
        return status;
    }
    if (name == QLatin1String("--serial-order"))
        return ParseOrder(value, &serial.order)
                   ? Status::Ok()
                   : Status::Fail(QStringLiteral("%1 %2: msb or lsb").arg(name, value));
    if (name == QLatin1String("--serial-encoding"))
        return ParseEncoding(value, &serial.encoding)
                   ? Status::Ok()
                   : Status::Fail(QStringLiteral("%1 %2: binary, bcd or ascii").arg(name, value));
    if (name == QLatin1String("--serial-first"))
        return readNumberArgument(name, value, 0, std::numeric_limits<qint64>::max(), serial.first);
    return readNumberArgument(name, value, 1, std::numeric_limits<qint64>::max(), serial.step);
}

Status applyPool(const QString& name, const QString& value, CliOptions& options) {
    if (!options.poolOptions.contains(name))
        options.poolOptions.append(name);
    bool ok = false;
    // Decimal, or hexadecimal with 0x as MAC addresses are written.
    const qint64 number = value.toLongLong(&ok, 0);
    if (!ok || number < (name == QLatin1String("--pool-step") ? 1 : 0))
        return Status::Fail(QStringLiteral("%1 %2: a number (decimal, or hexadecimal with 0x) is "
                                           "needed")
                                .arg(name, value));
    qint64& target = name == QLatin1String("--pool-first")  ? options.pool.first
                     : name == QLatin1String("--pool-last") ? options.pool.last
                                                            : options.pool.step;
    target = number;
    return Status::Ok();
}

// One option per image format (--hex, --elf, ...); they exclude each other,
// the same one twice is fine.
const ImageFormatRow* formatOfOption(const QString& name) {
    for (const ImageFormatRow& row : ImageFormats())
        if (name == QLatin1String("--") + QLatin1String(row.word))
            return &ImageFormatOf(row.format);
    return nullptr;
}

Status applyFormat(const QString& name, const QString&, CliOptions& options) {
    const FileFormat format = formatOfOption(name)->format;
    if (options.format && *options.format != format)
        return Status::Fail(QStringLiteral("--%1 and %2 exclude each other")
                                .arg(QLatin1String(ImageFormatOf(*options.format).word), name));
    options.format = format;
    return Status::Ok();
}

Status applyPort(const QString& name, const QString& value, CliOptions& options) {
    if (isAllDigits(value)) {
        const int number = value.size() <= 3 ? value.toInt() : 0;
        if (number < 1 || number > 8)
            return Status::Fail(QStringLiteral("%1 %2: a port number is 1 to 8 (or give a "
                                               "device path such as /dev/ttyUSB0)")
                                    .arg(name, value));
        options.portNumber = number;
        options.portPath.clear();
    } else {
        // A network address is checked now: a typing error is a usage error,
        // not a communication error after the files were loaded.
        if (PortAddress address; value.contains(QStringLiteral("://"))) {
            if (const Status parsed = ParsePortAddress(value, address); !parsed)
                return Status::Fail(name + QLatin1Char(' ') + parsed.message);
        }
        options.portPath = value;
        options.portNumber.reset();
    }
    if (options.ports.contains(value))
        return Status::Fail(QStringLiteral("%1 %2 is given twice").arg(name, value));
    options.ports.append(value);
    return Status::Ok();
}

Status applyLineField(const QString& name, const QString& value, CliOptions& options) {
    LineFields& f = options.plan.context.fields;
    QString& field = name == QLatin1String("--station")    ? f.station
                     : name == QLatin1String("--operator") ? f.operatorName
                     : name == QLatin1String("--lot")      ? f.lot
                     : name == QLatin1String("--product")  ? f.product
                                                           : f.workOrder;
    field = value;
    return Status::Ok();
}

Status applyReplyNumber(const QString& name, const QString& value, CliOptions& options) {
    const bool timeout = name == QLatin1String("--timeout");
    const int low = timeout ? 1 : 0;
    const int high = timeout ? ReplyPolicy::MaxTimeoutMs : ReplyPolicy::MaxRetries;
    const int number = isAllDigits(value) && value.size() <= 6 ? value.toInt() : -1;
    if (number < low || number > high)
        return Status::Fail(
            QStringLiteral("%1 %2: give %3 to %4").arg(name, value).arg(low).arg(high));
    ReplyPolicy& replies = options.plan.functionOptions.replies;
    (timeout ? replies.timeoutMs : replies.retries) = number;
    return Status::Ok();
}

Status applyHook(const QString& name, const QString& value, CliOptions& options) {
    if (name == QLatin1String("--hook-timeout")) {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        // A day is far beyond any fixture; more would overflow the wait.
        if (!ok || !(seconds > 0) || seconds > 86400)
            return Status::Fail(
                QStringLiteral("%1 %2: give seconds above 0, up to 86400").arg(name, value));
        options.hookTimeoutMs = qMax(1, qRound(seconds * 1000));
        return Status::Ok();
    }
    if (value.trimmed().isEmpty())
        return Status::Fail(QStringLiteral("%1: the command is empty").arg(name));
    (name == QLatin1String("--before-chip") ? options.beforeChip : options.afterChip) = value;
    return Status::Ok();
}

constexpr OptionEntry optionTable[] = {
    {"--port", nullptr, OptionValue::Required, applyPort, "--port N|PATH|URL",
     "port number 1 to 8 (a comN link in the current folder\n"
     "or the system's port N), a device path, or a unit on\n"
     "the network: tcp://HOST:PORT (raw bytes) or\n"
     "rfc2217://HOST:PORT (neither is authenticated or\n"
     "encrypted: across an untrusted network use an SSH\n"
     "tunnel, ssh -L 4001:localhost:4001 HOST); given more\n"
     "than once, the operations run on every unit at the\n"
     "same time, each line is prefixed with its port, and a\n"
     "table of the results ends the run",
     nullptr},
    {"--workdir", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.workDir = value;
         return Status::Ok();
     },
     "--workdir DIR",
     "read varn.cfg, varn.dev, auto.cfg and the comN links\n"
     "from DIR instead of the current folder",
     nullptr},
    {"--repeat", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.repeat = true;
         return Status::Ok();
     },
     "--repeat",
     "after each run ask for the next chip(s): Enter runs\n"
     "again on the same connections (a unit is identified\n"
     "again only after its line was lost), q ends and\n"
     "prints the counts and the yield",
     nullptr},
    {"--net-latency", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         const int number = isAllDigits(value) && value.size() <= 5 ? value.toInt() : -1;
         if (number < 0 || number > ReplyPolicy::MaxTimeoutMs)
             return Status::Fail(QStringLiteral("%1 %2: give 0 to %3")
                                     .arg(name, value)
                                     .arg(ReplyPolicy::MaxTimeoutMs));
         options.netLatencyMs = number;
         return Status::Ok();
     },
     "--net-latency MS",
     "tcp:// and rfc2217:// ports: add MS to every reply\n"
     "wait (default: twice the round trip measured while\n"
     "connecting)",
     nullptr},
    {"--timeout", nullptr, OptionValue::Required, applyReplyNumber, "--timeout MS",
     "wait for each block's reply up to MS (default 1000)", nullptr},
    {"--retries", nullptr, OptionValue::Required, applyReplyNumber, "--retries N",
     "send a block request whose reply did not come again,\n"
     "up to N times (default 0)",
     nullptr},
    {"--device", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.device = value;
         return Status::Ok();
     },
     "--device NAME|INDEX", "device type of varn.dev, by name or table index", nullptr},
    // The image formats' options, one per format (formatOptionRows).
    {nullptr, nullptr, OptionValue::None, applyFormat, nullptr, nullptr, nullptr},
    {"--file-offset", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         return readHexArgument(name, value, options.fileOffset);
     },
     "--file-offset HEX", "load: leave out file addresses below HEX", nullptr},
    {"--buffer-offset", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         return readHexArgument(name, value, options.bufferOffset);
     },
     "--buffer-offset HEX", "load: add HEX to every file address", nullptr},
    {"--relocate", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         return readHexArgument(name, value, options.relocate);
     },
     "--relocate HEX",
     "load: subtract HEX from every address of an Intel HEX,\n"
     "S-record or ELF file first (data below it is left out)",
     nullptr},
    {"--defined-only", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.definedOnly = true;
         return Status::Ok();
     },
     "--defined-only",
     "save (Intel HEX, S-record): only the image's bytes and\n"
     "its start address",
     nullptr},
    {"--allow-partial", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.plan.functionOptions.allowPartial = true;
         return Status::Ok();
     },
     "--allow-partial",
     "load: go on when the file holds data beyond the\n"
     "buffer; program, verify, blank, compare, auto and\n"
     "--expect-crc32: go on when the image holds bytes\n"
     "outside the device. Either is left out (without it,\n"
     "a file error)",
     nullptr},
    {"--skip-blank", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.plan.functionOptions.skipBlankBlocks = true;
         return Status::Ok();
     },
     "--skip-blank",
     "program: leave out 16-byte blocks that are all FF\n"
     "(for a device erased before)",
     nullptr},
    {"--expect-crc32", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         static const QRegularExpression crc(QStringLiteral("^(0[xX])?([0-9A-Fa-f]{1,8})$"));
         const QRegularExpressionMatch match = crc.match(value);
         if (!match.hasMatch())
             return Status::Fail(
                 QStringLiteral("%1 %2: 1 to 8 hexadecimal digits are needed").arg(name, value));
         options.plan.expectCrc32 = match.captured(2).toUInt(nullptr, 16);
         return Status::Ok();
     },
     "--expect-crc32 HEX",
     "before the first device function and again after each\n"
     "load, fill or clear, or at the end of a run without\n"
     "device functions, end the run with the file status\n"
     "when the CRC-32 of the device's part of the buffer is\n"
     "not HEX (nothing more is sent to the unit)",
     nullptr},
    {"--only-image", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.plan.functionOptions.onlyImage = true;
         return Status::Ok();
     },
     "--only-image",
     "program, verify, blank, compare: only the 16-byte\n"
     "blocks holding bytes of the loaded image (verify and\n"
     "compare judge only those bytes)",
     nullptr},
    {"--quiet", "-q", OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.quiet = true;
         return Status::Ok();
     },
     "-q, --quiet",
     "print only errors and the output of checksum\n"
     "and identify",
     nullptr},
    {"--json", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.json = true;
         return Status::Ok();
     },
     "--json",
     "the run as JSON Lines on standard output (see\n"
     "doc/json.md); all other text goes to standard error",
     nullptr},
    {"--csv", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.csv = true;
         return Status::Ok();
     },
     "--csv", "report: as CSV (figure, key, value)", "--json"},
    {"--log", nullptr, OptionValue::Optional,
     [](const QString&, const QString& value, CliOptions& options) {
         options.log = value;
         return Status::Ok();
     },
     "--log [PATH|URL]",
     "write a record of the run to the production log: an\n"
     "SQLite file (varn-log.sqlite here when none is given) or\n"
     "postgresql://user@host:port/dbname (password from\n"
     "PGPASSWORD or ~/.pgpass); when it cannot be opened\n"
     "nothing is sent to the unit",
     nullptr},
    {"--create-log", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.plan.createLog = true;
         return Status::Ok();
     },
     "--create-log",
     "start a new log file when the --log file does not exist\n"
     "(without it, a missing file is an error)",
     nullptr},
    {"--serial", nullptr, OptionValue::Required, applySerial, "--serial NAME",
     "the serial series of the log whose next number each\n"
     "programmed chip gets (created with series create)",
     nullptr},
    {"--serial-address", nullptr, OptionValue::Required, applySerial, "--serial-address HEX",
     "where the chip's number goes into the buffer before\n"
     "program (needs --serial)",
     nullptr},
    {"--serial-overwrite", nullptr, OptionValue::None, applySerial, "--serial-overwrite",
     "let the serial number lie on bytes the image defines\n"
     "(without it, such a run is refused before anything is sent)",
     nullptr},
    {"--serial-length", nullptr, OptionValue::Required, applySerial, "--serial-length N",
     "series create: bytes of a number, 1 to 8 (default 4)", nullptr},
    {"--serial-order", nullptr, OptionValue::Required, applySerial, "--serial-order msb|lsb",
     "series create: most (default) or least significant\nbyte first", nullptr},
    {"--serial-encoding", nullptr, OptionValue::Required, applySerial, "--serial-encoding ENC",
     "series create: binary (default), bcd (packed) or\nascii (decimal)", nullptr},
    {"--serial-first", nullptr, OptionValue::Required, applySerial, "--serial-first N",
     "series create: first number (default 1)", nullptr},
    {"--serial-step", nullptr, OptionValue::Required, applySerial, "--serial-step N",
     "series create: step between numbers (default 1)", nullptr},
    {"--serial-maximum", nullptr, OptionValue::Required, applySerial, "--serial-maximum N",
     "series create: last number (default: the largest the\nlength and encoding hold)", nullptr},
    {"--field", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         ChipField field;
         const Status read = FieldFromText(value, &field);
         options.plan.fields.append(field);
         return read;
     },
     "--field FIELD",
     "a field of each programmed chip beyond its serial\n"
     "number (repeatable): pool=NAME, crc16=FROM-TO,\n"
     "crc32=FROM-TO, time=FORMAT|unix, text=TEXT or lot,\n"
     "then at=HEX and as needed length=N, encoding=ENC,\n"
     "order=msb|lsb, overwrite; comma-separated, as in\n"
     "pool=mac,at=7F0,length=6 (see doc/job.md)",
     nullptr},
    {"--pool-first", nullptr, OptionValue::Required, applyPool, "--pool-first N",
     "pool create: its first number (0x for hexadecimal)", nullptr},
    {"--pool-last", nullptr, OptionValue::Required, applyPool, "--pool-last N",
     "pool create: its last number", nullptr},
    {"--pool-step", nullptr, OptionValue::Required, applyPool, "--pool-step N",
     "pool create: the step between numbers (default 1)", nullptr},
    {"--station", nullptr, OptionValue::Required, applyLineField, "--station NAME",
     "the station the records name (default: the host name)", nullptr},
    {"--operator", nullptr, OptionValue::Required, applyLineField, "--operator NAME",
     "the operator the records name", nullptr},
    {"--lot", nullptr, OptionValue::Required, applyLineField, "--lot TEXT", "the records' lot",
     nullptr},
    {"--work-order", nullptr, OptionValue::Required, applyLineField, "--work-order TEXT",
     "the records' work order", nullptr},
    {"--product", nullptr, OptionValue::Required, applyLineField, "--product TEXT",
     "the records' product", nullptr},
    {"--before-chip", nullptr, OptionValue::Required, applyHook, "--before-chip CMD",
     "run CMD (with sh) before anything is sent for each\n"
     "chip, once its record is open and its serial number\n"
     "given; a non-zero exit refuses the chip (status 6),\n"
     "with CMD's first line of output as the reason in its\n"
     "record. CMD's environment holds VARN_PORT, VARN_SERIAL,\n"
     "VARN_RECORD_ID, VARN_IMAGE_CRC32 and VARN_OUTCOME\n"
     "(empty where not known yet); with several units each\n"
     "unit runs its own",
     nullptr},
    {"--after-chip", nullptr, OptionValue::Required, applyHook, "--after-chip CMD",
     "run CMD after the functions of each chip that ran, the\n"
     "run's run-finished JSON object on its standard input\n"
     "(see doc/json.md) and the same environment; a non-zero\n"
     "exit fails a chip that passed (status 7), with CMD's\n"
     "first line of output as the reason in its record",
     nullptr},
    {"--hook-timeout", nullptr, OptionValue::Required, applyHook, "--hook-timeout S",
     "kill --before-chip and --after-chip commands still\n"
     "running after S seconds (default 60; decimals allowed),\n"
     "which refuses or fails the chip",
     nullptr},
    {"--from", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         return readTimeArgument(name, value, false, options.exportFrom);
     },
     "--from TIME",
     "export, log list: records from this time on: an ISO\n"
     "8601 date or date and time, with Z or an offset\n"
     "(2026-12-06T14:30+01:00); without one, local time",
     nullptr},
    {"--to", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         return readTimeArgument(name, value, true, options.exportTo);
     },
     "--to TIME", "export, log list: records before this time (a date:\nto its end)", nullptr},
    {"--listen", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.listen = value;
         return Status::Ok();
     },
     "--listen ADDR:PORT",
     "serve: the address and port to listen on (default\n"
     "127.0.0.1:8470; port 0: any free port; 0.0.0.0 opens\n"
     "it to the network, best with --token)",
     nullptr},
    {"--token", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.token = value;
         return Status::Ok();
     },
     "--token TOKEN",
     "serve: every request must carry TOKEN (Authorization:\n"
     "Bearer TOKEN, or ?token=TOKEN once from a browser)",
     nullptr},
    {"--token-file", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.tokenFile = value;
         return Status::Ok();
     },
     "--token-file FILE", "serve: the token is FILE's first line (kept out of\nps)", "--token"},
    {"--job", nullptr, OptionValue::Required,
     [](const QString&, const QString& value, CliOptions& options) {
         options.job = value;
         return Status::Ok();
     },
     "--job FILE",
     "run a job file: its image, device, functions and\n"
     "options, which the command line cannot change; a job\n"
     "changed since it was made, or whose image or device\n"
     "does not match, is refused before anything is sent\n"
     "(see doc/job.md)",
     nullptr},
    {"--functions", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         for (const QString& word : value.split(QLatin1Char(','))) {
             const FunctionRow* found = nullptr;
             for (const FunctionRow& row : FunctionTable())
                 if (word == QLatin1String(row.word))
                     found = &row;
             if (!found)
                 return Status::Fail(
                     QStringLiteral("%1 %2: \"%3\" is no device function").arg(name, value, word));
             options.plan.functions.append(found->code);
         }
         return Status::Ok();
     },
     "--functions LIST",
     "job create: the functions the job runs, as\n"
     "erase,blank,program,verify (default: auto, with the\n"
     "steps of auto.cfg)",
     nullptr},
    {"--units", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         qint64 units = 0;
         const Status status = readNumberArgument(name, value, 1, 64, units);
         options.plan.units = int(units);
         return status;
     },
     "--units N", "job create: the units the job runs at once (default:\nthe --port count)",
     nullptr},
    {"--stop-after", nullptr, OptionValue::Required,
     [](const QString& name, const QString& value, CliOptions& options) {
         qint64 count = 0;
         const Status status = readNumberArgument(name, value, 0, 1000000, count);
         options.plan.stopAfterFailures = int(count);
         return status;
     },
     "--stop-after N", "stop after N failed chips in a row (0: never)", nullptr},
    {"--reference-image", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.referenceImage = true;
         return Status::Ok();
     },
     "--reference-image",
     "job create: name the image file by its path and SHA-256\n"
     "instead of embedding it",
     nullptr},
    {"--help", "-h", OptionValue::Ignored,
     [](const QString&, const QString&, CliOptions& options) {
         options.help = true;
         return Status::Ok();
     },
     "-h, --help", "print this help", nullptr},
    {"--version", nullptr, OptionValue::Ignored,
     [](const QString&, const QString&, CliOptions& options) {
         options.version = true;
         return Status::Ok();
     },
     "--version", "print the program version", nullptr},
    {"--list-ports", nullptr, OptionValue::None,
     [](const QString&, const QString&, CliOptions& options) {
         options.listPorts = true;
         return Status::Ok();
     },
     "--list-ports",
     "list the serial ports: name, adapter, stable\n"
     "by-id name, access, and the comN entries of the\n"
     "current folder that point to each",
     nullptr},
};

const OptionEntry* findOption(const QString& name) {
    for (const OptionEntry& option : optionTable) {
        if (!option.name) {
            if (formatOfOption(name))
                return &option;
            continue;
        }
        if (name == QLatin1String(option.name) ||
            (option.shortName && name == QLatin1String(option.shortName)))
            return &option;
    }
    return nullptr;
}

// --- Operations ----------------------------------------------------------
// One row per operation word, in --help's order.

using ParseOperation = Status (*)(const QStringList& parameters, CliOperation& operation);

struct OperationEntry {
    const char* word;
    CliOperation::Kind kind;
    const char* parameterNames; // space-separated; "" for none
    ParseOperation parse;       // nullptr: nothing to read
    const char* help;
    int function = -1; // Function: the code of its row in the function table
};

Status takeFile(const QStringList& parameters, CliOperation& operation) {
    operation.file = parameters.at(0);
    return Status::Ok();
}

Status parseFill(const QStringList& parameters, CliOperation& operation) {
    if (Status s = readHexArgument(QStringLiteral("fill START"), parameters.at(0), operation.start);
        !s)
        return s;
    if (Status s =
            readHexArgument(QStringLiteral("fill LENGTH"), parameters.at(1), operation.length);
        !s)
        return s;
    qint64 value = 0;
    if (Status s = readHexArgument(QStringLiteral("fill BYTE"), parameters.at(2), value); !s)
        return s;
    if (parameters.at(2).trimmed().isEmpty() || value > 0xFF)
        return Status::Fail(
            QStringLiteral("fill BYTE \"%1\": a byte is 0 to FF").arg(parameters.at(2)));
    operation.value = static_cast<quint8>(value);
    return Status::Ok();
}

constexpr OperationEntry fixedOperations[] = {
    {"load", CliOperation::Load, "FILE", takeFile,
     "load an Intel HEX, S-record, ELF or binary file into\n"
     "the buffer (- for standard input)"},
    {"save", CliOperation::Save, "FILE", takeFile,
     "save the selected device's part of the buffer (- for\nstandard output)"},
    {"fill", CliOperation::Fill, "START LENGTH BYTE", parseFill,
     "fill LENGTH bytes from START with BYTE (hexadecimal)"},
    {"clear", CliOperation::Clear, "", nullptr, "set the whole buffer to FF"},
    {"checksum", CliOperation::Checksum, "", nullptr,
     "print the 16-bit checksum of the device's part"},
    {"export", CliOperation::Export, "FILE", takeFile,
     "write the production log's records as CSV (- for\nstandard output)"},
    {"series create", CliOperation::SeriesCreate, "NAME", takeFile,
     "create a serial series in the log (--serial-first,\n"
     "-step, -maximum, -length, -encoding, -order); starts\n"
     "the log file when it does not exist"},
    {"series list", CliOperation::SeriesList, "", nullptr, "list the log's serial series"},
    {"pool create", CliOperation::PoolCreate, "NAME", takeFile,
     "create a number pool in the log (--pool-first,\n"
     "--pool-last, --pool-step): each number goes to one chip\n"
     "only (MAC addresses); starts the log file when it does\n"
     "not exist"},
    {"pool list", CliOperation::PoolList, "", nullptr,
     "list the log's number pools and the numbers left"},
    {"log sync", CliOperation::LogSync, "", nullptr,
     "send the records waiting in the local journal to the\nlog"},
    {"report", CliOperation::Report, "", nullptr,
     "chips, first-pass yield, failures by kind, step and\n"
     "address, interrupted records and chips per hour of the\n"
     "log (--from/--to, --lot, --station, --operator, --port\n"
     "narrow it; --csv or --json for a program)"},
    {"log list", CliOperation::LogList, "", nullptr,
     "print the last 20 records (or those of --from/--to);\n"
     "a record never closed reads interrupted"},
    {"serve", CliOperation::Serve, "", nullptr,
     "serve the log read-only over HTTP until Ctrl+C: a page\n"
     "of the line's units, yield, failures, numbers and\n"
     "records, and its JSON views (see doc/json.md;\n"
     "--listen, --token)"},
    {"diff", CliOperation::Diff, "FILE", takeFile,
     "list the differences between the device's part of the\n"
     "buffer and an image file (loaded as load would)"},
    {"crc32", CliOperation::Crc32, "", nullptr,
     "print the CRC-32 of the device's part (as zlib computes it)"},
    {"job create", CliOperation::JobCreate, "FILE", takeFile,
     "write a job file: the image loaded last, the device,\n"
     "the functions and options of this command line"},
    {"identify", CliOperation::Identify, "", nullptr,
     "print the name and version of the programmer unit"},
    {"run", CliOperation::Run, "", nullptr, "let the target run"},
    {"reset", CliOperation::Reset, "", nullptr, "hold the target in reset"},
};

// The fixed words up to identify, then one word per device function of the
// function table (a new function is a new operation), then run and reset.
const std::vector<OperationEntry>& Operations() {
    static const std::vector<OperationEntry> table = [] {
        std::vector<OperationEntry> rows;
        for (const OperationEntry& op : fixedOperations) {
            if (op.kind == CliOperation::Run) {
                for (const FunctionRow& row : FunctionTable())
                    rows.push_back(
                        {row.word, CliOperation::Function, "", nullptr, row.help, row.code});
            }
            rows.push_back(op);
        }
        return rows;
    }();
    return table;
}

const OperationEntry* findOperation(const QString& word) {
    for (const OperationEntry& op : Operations()) {
        if (word == QLatin1String(op.word))
            return &op;
    }
    return nullptr;
}

// A word that begins an operation ("series" of "series create").
bool isOperationWord(const QString& word) {
    for (const OperationEntry& op : Operations()) {
        if (QString::fromLatin1(op.word).section(QLatin1Char(' '), 0, 0) == word)
            return true;
    }
    return false;
}

int parameterCount(const OperationEntry& op) {
    const QString names = QLatin1String(op.parameterNames);
    return names.isEmpty() ? 0 : int(names.count(QLatin1Char(' '))) + 1;
}

// "  synopsis" padded to the help column, continuation lines indented to it.
QString usageRows(const QString& synopsis, const QString& help) {
    constexpr int HelpColumn = 26;
    const QString indent(HelpColumn, QLatin1Char(' '));
    QString left = QStringLiteral("  ") + synopsis;
    left = left.size() + 2 <= HelpColumn ? left.leftJustified(HelpColumn)
                                         : left + QStringLiteral("  ");
    return left + QString(help).replace(QLatin1Char('\n'), QLatin1Char('\n') + indent) +
           QLatin1Char('\n');
}

// Serial options that would do nothing are refused: a mistyped run must not
// quietly program chips without their numbers.
Status checkLogOptions(const CliOptions& options) {
    bool creates = false, logCommands = false, unitOperations = false, job = false;
    bool createsPool = false;
    for (const CliOperation& operation : options.operations) {
        createsPool = createsPool || operation.kind == CliOperation::PoolCreate;
        creates = creates || operation.kind == CliOperation::SeriesCreate;
        job = job || operation.kind == CliOperation::JobCreate;
        logCommands = logCommands || operation.isLogCommand();
        unitOperations = unitOperations || operation.needsUnit();
    }
    if (logCommands && unitOperations)
        return Status::Fail(QStringLiteral("series and log commands run without the unit: give "
                                           "them in a command of their own"));
    // serve never ends by itself: whatever came after it would never run.
    const bool serves = std::any_of(
        options.operations.cbegin(), options.operations.cend(),
        [](const CliOperation& operation) { return operation.kind == CliOperation::Serve; });
    if (serves && options.operations.size() > 1)
        return Status::Fail(QStringLiteral("serve runs until stopped: give it in a command of "
                                           "its own"));
    if (!serves &&
        (!options.listen.isEmpty() || !options.token.isEmpty() || !options.tokenFile.isEmpty()))
        return Status::Fail(QStringLiteral("--listen, --token and --token-file go with serve"));
    if (!createsPool && !options.poolOptions.isEmpty())
        return Status::Fail(QStringLiteral("%1 describes a number pool: give it to pool create "
                                           "NAME (a run names its pool with --field pool=NAME)")
                                .arg(options.poolOptions.first()));
    if (createsPool && !options.poolOptions.contains(QStringLiteral("--pool-last")))
        return Status::Fail(QStringLiteral("pool create needs --pool-last (and --pool-first)"));
    // Refused here, not at the first chip: a job made from them would carry
    // the fault onto the line.
    if (const Status ordered = ChipFieldOrder(options.plan.fields); !ordered)
        return Status::Fail(QStringLiteral("--field: ") + ordered.message);
    for (const ChipField& field : options.plan.fields)
        if (field.kind == ChipField::Kind::Pool && !options.log && !job)
            return Status::Fail(QStringLiteral("--field %1: pool numbers need the production "
                                               "log (--log)")
                                    .arg(field.text()));
    const SerialSettings& serial = options.plan.serial;
    if (!creates && !options.seriesOptions.isEmpty())
        return Status::Fail(QStringLiteral("%1 describes a serial series: give it to series "
                                           "create NAME (a run names its series with --serial)")
                                .arg(options.seriesOptions.first()));
    if (!serial.enabled && (!serial.name.isEmpty() || options.plan.serialOverwrite) && !creates)
        return Status::Fail(QStringLiteral("%1 needs --serial-address (where the number goes)")
                                .arg(options.plan.serialOverwrite
                                         ? QStringLiteral("--serial-overwrite")
                                         : QStringLiteral("--serial %1").arg(serial.name)));
    if (!serial.enabled)
        return Status::Ok();
    if (serial.name.isEmpty())
        return Status::Fail(QStringLiteral("--serial-address needs --serial NAME, the series the "
                                           "numbers come from (varn-cli series create NAME "
                                           "makes one)"));
    // A job names the series; the run that uses it gives the log.
    if (!options.log && !job)
        return Status::Fail(QStringLiteral("serial numbers need the production log (--log)"));
    return serial.check();
}

} // namespace

RunPlan CliRunPlan(const CliOptions& options, const AppState& state) {
    RunPlan plan = options.plan;
    if (plan.functions.isEmpty() || plan.functions == QList<int>{FnAuto})
        plan.runAuto(state);
    if (!plan.units)
        plan.units = int(qMax<qsizetype>(1, options.ports.size()));
    if (options.log)
        plan.logLocation = LogLocationOrDefault(*options.log, state.AppDir);
    return plan;
}

Status CheckLogOptions(const CliOptions& options) {
    return checkLogOptions(options);
}

bool IsPortNumber(const QString& port) {
    return isAllDigits(port);
}

Status ParseCliArguments(const QStringList& arguments, CliOptions& options) {
    options = CliOptions{};
    bool optionsEnded = false;
    QList<const OptionEntry*> seen;

    for (int i = 0; i < arguments.size(); ++i) {
        const QString arg = arguments.at(i);

        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }

        if (!optionsEnded && arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            QString name = arg;
            std::optional<QString> inlineValue;
            if (arg.startsWith(QLatin1String("--"))) {
                const qsizetype eq = arg.indexOf(QLatin1Char('='));
                if (eq > 0) {
                    name = arg.left(eq);
                    inlineValue = arg.mid(eq + 1);
                }
            }
            const OptionEntry* option = findOption(name);
            if (!option)
                return Status::Fail(QStringLiteral("unknown option %1").arg(arg));

            // A value from "--name=value" or the next argument.
            QString value;
            if (option->value == OptionValue::Required) {
                if (inlineValue)
                    value = *inlineValue;
                else if (i + 1 < arguments.size())
                    value = arguments.at(++i);
                if (value.isEmpty())
                    return Status::Fail(QStringLiteral("%1 needs a value").arg(name));
            } else if (option->value == OptionValue::Optional) {
                if (inlineValue)
                    value = *inlineValue;
                else if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith('-') &&
                         !isOperationWord(arguments.at(i + 1)))
                    value = arguments.at(++i);
            } else if (inlineValue && option->value == OptionValue::None) {
                return Status::Fail(QStringLiteral("%1 takes no value").arg(name));
            }
            if (Status status = option->apply(name, value, options); !status)
                return status;
            options.given.append(option->name ? QLatin1String(option->name) : name);

            if (!seen.contains(option))
                seen.append(option);
            for (const OptionEntry* other : seen) {
                if (option->excludes &&
                    QLatin1String(option->excludes) == QLatin1String(other->name))
                    return Status::Fail(
                        QStringLiteral("%1 and %2 exclude each other")
                            .arg(QLatin1String(other->name), QLatin1String(option->name)));
                if (other->excludes &&
                    QLatin1String(other->excludes) == QLatin1String(option->name))
                    return Status::Fail(
                        QStringLiteral("%1 and %2 exclude each other")
                            .arg(QLatin1String(option->name), QLatin1String(other->name)));
            }
            continue;
        }

        const OperationEntry* op = findOperation(arg);
        if (!op && i + 1 < arguments.size() &&
            (op = findOperation(arg + QLatin1Char(' ') + arguments.at(i + 1))))
            ++i;
        if (!op)
            return Status::Fail(QStringLiteral("unknown operation \"%1\"").arg(arg));
        QStringList parameters;
        for (int p = 0; p < parameterCount(*op); ++p) {
            // An option where a parameter belongs means the parameter is missing;
            // a file whose name starts with "-" can be given as ./-name.
            const bool present =
                i + 1 < arguments.size() &&
                (optionsEnded || !arguments.at(i + 1).startsWith(QLatin1String("--")));
            if (!present || arguments.at(i + 1).isEmpty())
                return Status::Fail(
                    QStringLiteral("%1 needs %2")
                        .arg(QLatin1String(op->word), QLatin1String(op->parameterNames)));
            parameters.append(arguments.at(++i));
        }
        CliOperation operation;
        operation.kind = op->kind;
        operation.function = op->function;
        if (op->parse) {
            if (Status status = op->parse(parameters, operation); !status)
                return status;
        }
        options.operations.append(operation);
    }

    if (options.operations.isEmpty() && options.job.isEmpty() && !options.help &&
        !options.version && !options.listPorts)
        return Status::Fail(QStringLiteral("no operation given"));
    if (Status status = checkLogOptions(options); !status)
        return status;
    for (const CliOperation& operation : options.operations) {
        const bool toStdout =
            (operation.kind == CliOperation::Save || operation.kind == CliOperation::Export) &&
            operation.file == QLatin1String("-");
        // With --json, standard output is the events' stream: data in it
        // would break every reader of the stream.
        if (toStdout && options.json)
            return Status::Fail(QStringLiteral("%1 -: standard output carries --json's events; "
                                               "name a file instead")
                                    .arg(operation.kind == CliOperation::Save
                                             ? QStringLiteral("save")
                                             : QStringLiteral("export")));
        // Status lines on standard output would end up in the saved image.
        if (operation.kind == CliOperation::Save && operation.file == QLatin1String("-"))
            options.quiet = true;
    }
    if (options.ports.size() > 1) {
        for (const CliOperation& operation : options.operations) {
            if (operation.kind == CliOperation::Save)
                return Status::Fail(
                    QStringLiteral("save %1: several units would all write the same file")
                        .arg(operation.file));
        }
    }
    return Status::Ok();
}

QList<CliHelpRow> CliOperationRows() {
    QList<CliHelpRow> rows;
    for (const OperationEntry& op : Operations()) {
        QString synopsis = QLatin1String(op.word);
        if (*op.parameterNames)
            synopsis += QLatin1Char(' ') + QLatin1String(op.parameterNames);
        rows.append({synopsis, QLatin1String(op.help)});
    }
    return rows;
}

// --help's lines of at most width characters, words kept whole.
QString wrapped(const QString& text, qsizetype width) {
    QString out, line;
    for (const QString& word : text.split(QLatin1Char(' '))) {
        if (word.isEmpty())
            continue;
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            out += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return out + line;
}

// The formats that are written share a row; one only read has its own.
QList<CliHelpRow> formatOptionRows() {
    constexpr qsizetype Width = 55;
    QStringList written, byName;
    QString fallback;
    QList<CliHelpRow> readOnly;
    for (const ImageFormatRow& row : ImageFormats()) {
        const QString option = QLatin1String("--") + QLatin1String(row.word);
        if (row.write)
            written.append(option);
        else
            readOnly.append(
                {option,
                 wrapped(QLatin1String("load: ") + QLatin1String(row.readOnlyHelp), Width)});
        if (row.byPath)
            byName.append(QLatin1String(row.byPathHelp));
        else
            fallback = QLatin1String(row.byPathHelp);
    }
    const QString help = QStringLiteral("file format for load and save; without them a name ") +
                         byName.join(QLatin1String(", one ")) + QStringLiteral(", any other ") +
                         fallback +
                         QStringLiteral("; a file whose content is clearly another format than "
                                        "its name says is then a file error");
    return QList<CliHelpRow>{{written.join(QLatin1String(", ")), wrapped(help, Width)}} + readOnly;
}

QList<CliHelpRow> CliOptionRows() {
    QList<CliHelpRow> rows;
    for (const OptionEntry& option : optionTable) {
        if (!option.name)
            rows += formatOptionRows();
        else if (option.synopsis)
            rows.append({QLatin1String(option.synopsis), QLatin1String(option.help)});
    }
    return rows;
}

QString CliUsage() {
    QString text = QStringLiteral(
        "Usage: varn-cli [options] operation...\n"
        "\n"
        "Runs the operations in the order given, on one buffer that starts all FF,\n"
        "with the settings of varn.cfg, varn.dev and auto.cfg in the current folder.\n"
        "The first operation that fails ends the run.\n"
        "\n"
        "Operations:\n");
    for (const CliHelpRow& row : CliOperationRows())
        text += usageRows(row.synopsis, row.help);
    text += QStringLiteral("\nOptions:\n");
    for (const CliHelpRow& row : CliOptionRows())
        text += usageRows(row.synopsis, row.help);
    text += QStringLiteral("\nExit status:\n");
    for (const ExitStatusRow& row : ExitStatusRows)
        text +=
            QStringLiteral("  %1  ").arg(row.status, -3) +
            QString::fromUtf8(row.meaning).replace(QLatin1Char('\n'), QStringLiteral("\n       ")) +
            QLatin1Char('\n');
    return text + ExitStatusNote() + QLatin1Char('\n');
}

} // namespace varn
