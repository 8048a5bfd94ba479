#include "clioptions.h"

#include "core/hextext.h"

#include <QRegularExpression>

namespace varn {

namespace {

struct OperationWord {
    const char* word;
    CliOperation::Kind kind;
    int parameters;
};

constexpr OperationWord operationWords[] = {
    {"load", CliOperation::Load, 1},         {"save", CliOperation::Save, 1},
    {"fill", CliOperation::Fill, 3},         {"clear", CliOperation::Clear, 0},
    {"checksum", CliOperation::Checksum, 0}, {"identify", CliOperation::Identify, 0},
    {"read", CliOperation::Read, 0},         {"erase", CliOperation::Erase, 0},
    {"blank", CliOperation::Blank, 0},       {"program", CliOperation::Program, 0},
    {"verify", CliOperation::Verify, 0},     {"lock", CliOperation::Lock, 0},
    {"auto", CliOperation::Auto, 0},         {"run", CliOperation::Run, 0},
    {"reset", CliOperation::Reset, 0},
};

const OperationWord* findOperation(const QString& word) {
    for (const OperationWord& op : operationWords) {
        if (word == QLatin1String(op.word))
            return &op;
    }
    return nullptr;
}

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

Status parseOperation(const OperationWord& op, const QStringList& parameters, CliOptions& options) {
    CliOperation operation;
    operation.kind = op.kind;
    switch (op.kind) {
    case CliOperation::Load:
    case CliOperation::Save:
        operation.file = parameters.at(0);
        break;
    case CliOperation::Fill: {
        if (Status s =
                readHexArgument(QStringLiteral("fill START"), parameters.at(0), operation.start);
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
        break;
    }
    default:
        break;
    }
    options.operations.append(operation);
    return Status::Ok();
}

const char* parameterNames(CliOperation::Kind kind) {
    switch (kind) {
    case CliOperation::Load:
    case CliOperation::Save:
        return "FILE";
    case CliOperation::Fill:
        return "START LENGTH BYTE";
    default:
        return "";
    }
}

} // namespace

Status ParseCliArguments(const QStringList& arguments, CliOptions& options) {
    options = CliOptions{};
    bool optionsEnded = false;
    bool sawHex = false;
    bool sawBin = false;

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
            // An option that takes a value: from "--name=value" or the next argument.
            auto takeValue = [&](QString& value) -> Status {
                if (inlineValue) {
                    value = *inlineValue;
                } else if (i + 1 < arguments.size()) {
                    value = arguments.at(++i);
                } else {
                    return Status::Fail(QStringLiteral("%1 needs a value").arg(name));
                }
                if (value.isEmpty())
                    return Status::Fail(QStringLiteral("%1 needs a value").arg(name));
                return Status::Ok();
            };
            auto noValue = [&]() -> Status {
                if (inlineValue)
                    return Status::Fail(QStringLiteral("%1 takes no value").arg(name));
                return Status::Ok();
            };

            QString value;
            Status status;
            if (name == QLatin1String("--port")) {
                if (!(status = takeValue(value)))
                    return status;
                if (isAllDigits(value)) {
                    const int number = value.size() <= 3 ? value.toInt() : 0;
                    if (number < 1 || number > 8)
                        return Status::Fail(
                            QStringLiteral("--port %1: a port number is 1 to 8 (or give a "
                                           "device path such as /dev/ttyUSB0)")
                                .arg(value));
                    options.portNumber = number;
                    options.portPath.clear();
                } else {
                    options.portPath = value;
                    options.portNumber.reset();
                }
            } else if (name == QLatin1String("--device")) {
                if (!(status = takeValue(value)))
                    return status;
                options.device = value;
            } else if (name == QLatin1String("--file-offset")) {
                if (!(status = takeValue(value)))
                    return status;
                if (!(status = readHexArgument(name, value, options.fileOffset)))
                    return status;
            } else if (name == QLatin1String("--buffer-offset")) {
                if (!(status = takeValue(value)))
                    return status;
                if (!(status = readHexArgument(name, value, options.bufferOffset)))
                    return status;
            } else if (name == QLatin1String("--hex")) {
                if (!(status = noValue()))
                    return status;
                sawHex = true;
                options.format = CliOptions::Format::Hex;
            } else if (name == QLatin1String("--bin")) {
                if (!(status = noValue()))
                    return status;
                sawBin = true;
                options.format = CliOptions::Format::Binary;
            } else if (name == QLatin1String("--skip-blank")) {
                if (!(status = noValue()))
                    return status;
                options.skipBlank = true;
            } else if (name == QLatin1String("--quiet") || name == QLatin1String("-q")) {
                if (!(status = noValue()))
                    return status;
                options.quiet = true;
            } else if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
                options.help = true;
            } else {
                return Status::Fail(QStringLiteral("unknown option %1").arg(arg));
            }
            if (sawHex && sawBin)
                return Status::Fail(QStringLiteral("--hex and --bin exclude each other"));
            continue;
        }

        const OperationWord* op = findOperation(arg);
        if (!op)
            return Status::Fail(QStringLiteral("unknown operation \"%1\"").arg(arg));
        QStringList parameters;
        for (int p = 0; p < op->parameters; ++p) {
            // An option where a parameter belongs means the parameter is missing;
            // a file whose name starts with "-" can be given as ./-name.
            const bool present =
                i + 1 < arguments.size() &&
                (optionsEnded || !arguments.at(i + 1).startsWith(QLatin1String("--")));
            if (!present || arguments.at(i + 1).isEmpty())
                return Status::Fail(QStringLiteral("%1 needs %2")
                                        .arg(arg, QLatin1String(parameterNames(op->kind))));
            parameters.append(arguments.at(++i));
        }
        if (Status status = parseOperation(*op, parameters, options); !status)
            return status;
    }

    if (options.operations.isEmpty() && !options.help)
        return Status::Fail(QStringLiteral("no operation given"));
    return Status::Ok();
}

QString CliUsage() {
    return QStringLiteral(
        "Usage: varn-cli [options] operation...\n"
        "\n"
        "Runs the operations in the order given, on one buffer that starts all FF,\n"
        "with the settings of varn.cfg, varn.dev and auto.cfg in the current folder.\n"
        "The first operation that fails ends the run.\n"
        "\n"
        "Operations:\n"
        "  load FILE               load an Intel HEX or binary file into the buffer\n"
        "  save FILE               save the selected device's part of the buffer\n"
        "  fill START LENGTH BYTE  fill LENGTH bytes from START with BYTE (hexadecimal)\n"
        "  clear                   set the whole buffer to FF\n"
        "  checksum                print the 16-bit checksum of the device's part\n"
        "  identify                print the name and version of the programmer unit\n"
        "  read                    read the device into the buffer\n"
        "  erase                   erase the device\n"
        "  blank                   check that the device is blank\n"
        "  program                 write the buffer into the device\n"
        "  verify                  compare the device with the buffer\n"
        "  lock                    lock the device\n"
        "  auto                    run the auto sequence of auto.cfg\n"
        "  run                     let the target run\n"
        "  reset                   hold the target in reset\n"
        "\n"
        "Options:\n"
        "  --port N|PATH           port number 1 to 8 (a comN link in the current folder\n"
        "                          or the system's port N), or a device path\n"
        "  --device NAME|INDEX     device type of varn.dev, by name or table index\n"
        "  --hex, --bin            file format for load and save; without them a name\n"
        "                          ending in HEX or hex is Intel HEX, any other binary\n"
        "  --file-offset HEX       load: leave out file addresses below HEX\n"
        "  --buffer-offset HEX     load: add HEX to every file address\n"
        "  --skip-blank            program: leave out 16-byte blocks that are all FF\n"
        "                          (for a device erased before)\n"
        "  -q, --quiet             print only errors and the output of checksum\n"
        "                          and identify\n"
        "  -h, --help              print this help\n"
        "\n"
        "Exit status:\n"
        "  0  every operation succeeded\n"
        "  1  verify or blank check found a wrong byte\n"
        "  2  usage or configuration error\n"
        "  3  communication error (port cannot be opened, the unit did not answer)\n"
        "  4  file error (an image file could not be loaded or saved)\n");
}

} // namespace varn
