#include "productionlog.h"

#include "core/appstate.h"
#include "core/usersettings.h"
#include "csvexport.h"
#include "postgreslog.h"
#include "sqlitelog.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

namespace varn {

namespace {

QString encoded(const QString& text) {
    return QString::fromUtf8(QUrl::toPercentEncoding(text));
}

QString decoded(const QString& text) {
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// The text as a message may show it: a password, wherever the user put it,
// becomes "***".
QString withoutPassword(QString text) {
    static const QRegularExpression inUser(QStringLiteral("^([^:]+://[^:@/?]*):[^@/?]*@"));
    static const QRegularExpression inQuery(QStringLiteral("([?&]password=)[^&]*"),
                                            QRegularExpression::CaseInsensitiveOption);
    text.replace(inUser, QStringLiteral("\\1:***@"));
    text.replace(inQuery, QStringLiteral("\\1***"));
    return text;
}

} // namespace

ProductionLog::~ProductionLog() = default;

std::unique_ptr<ProductionLog> ProductionLog::open(const QString& location,
                                                   const LogOpenOptions& options, Status* status) {
    Status ignored;
    Status& result = status ? *status : ignored;
    LogLocation parsed;
    if (const Status valid = ParseLogLocation(location, &parsed); !valid) {
        result = Status::Fail(QStringLiteral("Production log ") + valid.message);
        return nullptr;
    }
    // One line per backend.
    std::unique_ptr<SqlLog> log;
    if (parsed.postgres)
        log = std::make_unique<PostgresLog>();
    else
        log = std::make_unique<SqliteLog>();
    result = log->connect(parsed, options);
    if (!result)
        return nullptr;
    return log;
}

QString LogLocation::text() const {
    if (!postgres)
        return path;
    QString url = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        url += encoded(user) + QLatin1Char('@');
    url += encoded(host);
    if (port >= 0)
        url += QLatin1Char(':') + QString::number(port);
    url += QLatin1Char('/') + encoded(database);
    QStringList pairs;
    for (const auto& [key, value] : parameters)
        pairs.append(key + QLatin1Char('=') + encoded(value));
    if (!pairs.isEmpty())
        url += QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    return url;
}

bool LogEnabled(const UserSettings& settings) {
    return settings.value(QStringLiteral("log/enabled"), false).toBool();
}

QString ConfiguredLogLocation(const AppState& state, const UserSettings& settings) {
    const QString location = settings.value(QStringLiteral("log/url")).toString();
    return location.isEmpty() ? state.ConfigPath(QString::fromLatin1(DefaultLogFileName))
                              : location;
}

Status ParseLogLocation(const QString& text, LogLocation* location) {
    static const QRegularExpression scheme(QStringLiteral("^postgres(ql)?://"),
                                           QRegularExpression::CaseInsensitiveOption);
    LogLocation parsed;
    if (!scheme.match(text).hasMatch()) {
        if (text.isEmpty())
            return Status::Fail(QStringLiteral("no log file or URL given"));
        parsed.path = text;
        *location = parsed;
        return Status::Ok();
    }
    static const QRegularExpression url(
        QStringLiteral("^postgres(?:ql)?://(?:([^@/:?]*)(:[^@/?]*)?@)?([^/:?]*)(?::([0-9]{1,5}))?"
                       "(?:/([^?]*))?(?:\\?(.*))?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QString shown = withoutPassword(text);
    const QRegularExpressionMatch m = url.match(text);
    if (!m.hasMatch())
        return Status::Fail(
            QStringLiteral("%1: not a postgresql://user@host:port/dbname URL").arg(shown));
    const QString noPassword = QStringLiteral("%1: no password in the URL, please; put it in "
                                              "~/.pgpass or PGPASSWORD");
    if (m.capturedLength(2) > 0)
        return Status::Fail(noPassword.arg(text.left(m.capturedStart(2))));
    parsed.postgres = true;
    parsed.user = decoded(m.captured(1));
    parsed.host = decoded(m.captured(3));
    parsed.port = m.capturedLength(4) > 0 ? m.captured(4).toInt() : -1;
    parsed.database = decoded(m.captured(5));
    if (parsed.port > 65535)
        return Status::Fail(QStringLiteral("%1: port out of range").arg(shown));
    static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
    for (const QString& pair : m.captured(6).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString key = decoded(pair.section(QLatin1Char('='), 0, 0));
        const QString value = decoded(pair.section(QLatin1Char('='), 1));
        if (key.compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
            return Status::Fail(noPassword.arg(text.left(m.capturedStart(6) - 1)));
        if (!keyword.match(key).hasMatch() || !pair.contains(QLatin1Char('=')))
            return Status::Fail(QStringLiteral("%1: \"%2\" is no connection parameter (key=value)")
                                    .arg(shown, key));
        // The driver takes ";" as the end of a parameter.
        if (value.contains(QLatin1Char(';')))
            return Status::Fail(
                QStringLiteral("%1: the value of %2 cannot hold \";\"").arg(shown, key));
        parsed.parameters.append({key, value});
    }
    *location = parsed;
    return Status::Ok();
}

QString LineFields::stationName() const {
    return station.isEmpty() ? QSysInfo::machineHostName() : station;
}

LineFields LineFields::load(const UserSettings& settings) {
    LineFields fields;
    fields.station = settings.value(QStringLiteral("record/station")).toString();
    fields.operatorName = settings.value(QStringLiteral("record/operator")).toString();
    fields.lot = settings.value(QStringLiteral("record/lot")).toString();
    fields.workOrder = settings.value(QStringLiteral("record/workOrder")).toString();
    fields.product = settings.value(QStringLiteral("record/product")).toString();
    return fields;
}

void LineFields::save(UserSettings& settings) const {
    settings.setValue(QStringLiteral("record/station"), station);
    settings.setValue(QStringLiteral("record/operator"), operatorName);
    settings.setValue(QStringLiteral("record/lot"), lot);
    settings.setValue(QStringLiteral("record/workOrder"), workOrder);
    settings.setValue(QStringLiteral("record/product"), product);
}

QString DefaultJournalPath() {
    // One journal for the desktop program and varn-cli alike.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.local/share");
    return folder + QStringLiteral("/varn/journal.sqlite");
}

Status ProductionLog::csvLines(const QDateTime& from, const QDateTime& to, QByteArray& csv,
                               const std::function<Status()>& lineAdded) {
    return eachRecord(from, to, [&](const ChipRecord& record) {
        AppendCsvLine(csv, record);
        return lineAdded();
    });
}

} // namespace varn
