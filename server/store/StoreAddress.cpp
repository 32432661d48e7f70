#include "store/StoreAddress.h"
#include "store/StoreBackup.h"

#include <QFileInfo>
#include <QSet>
#include <QUrl>

namespace wispline::server
{
namespace
{

// A dead path is noticed by keep-alive probes after about 3 + 3 * 1 s of silence, and unsent
// data waits at most tcp_user_timeout; a connection attempt gives up after connect_timeout.
constexpr int kKeepAliveIdleS = 3;
constexpr int kKeepAliveIntervalS = 1;
constexpr int kKeepAliveCount = 3;
constexpr int kTcpUserTimeoutMs = 6000;
constexpr int kConnectTimeoutS = 5;
// No transaction is left open by a stalled program for longer.
constexpr int kIdleInTransactionMs = 30000;
// The longest a statement may run: on the routing connection, and on the others.
constexpr int kRoutingStatementMs = 5000;
constexpr int kStatementMs = 15000;

// The connection keywords of libpq (15) an address may set. Passwords are refused: they belong
// in .pgpass. Those Qt's driver or this server sets itself (client_encoding, replication) are
// left out.
const QSet<QString>& knownKeywords()
{
    static const QSet<QString> known{
        QStringLiteral("host"),
        QStringLiteral("hostaddr"),
        QStringLiteral("port"),
        QStringLiteral("dbname"),
        QStringLiteral("user"),
        QStringLiteral("passfile"),
        QStringLiteral("channel_binding"),
        QStringLiteral("connect_timeout"),
        QStringLiteral("options"),
        QStringLiteral("application_name"),
        QStringLiteral("fallback_application_name"),
        QStringLiteral("keepalives"),
        QStringLiteral("keepalives_idle"),
        QStringLiteral("keepalives_interval"),
        QStringLiteral("keepalives_count"),
        QStringLiteral("tcp_user_timeout"),
        QStringLiteral("gssencmode"),
        QStringLiteral("sslmode"),
        QStringLiteral("requiressl"),
        QStringLiteral("sslcompression"),
        QStringLiteral("sslcert"),
        QStringLiteral("sslkey"),
        QStringLiteral("sslrootcert"),
        QStringLiteral("sslcrl"),
        QStringLiteral("sslcrldir"),
        QStringLiteral("sslsni"),
        QStringLiteral("requirepeer"),
        QStringLiteral("ssl_min_protocol_version"),
        QStringLiteral("ssl_max_protocol_version"),
        QStringLiteral("krbsrvname"),
        QStringLiteral("gsslib"),
        QStringLiteral("service"),
        QStringLiteral("target_session_attrs"),
    };
    return known;
}

QString decoded(const QString& part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

// A value in single quotes, as libpq reads them.
QString quoted(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

} // namespace

bool parsePostgresAddress(const QString& address, PostgresAddress* out, QString* error)
{
    const auto fail = [&](const QString& why) {
        *error = why;
        return false;
    };
    const QString usage = QStringLiteral(
        "not a PostgreSQL address (postgresql://user@host:port/database?keyword=value)");
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return fail(usage);
    QString rest = address.mid(scheme + 3);
    QString query;
    if (const qsizetype q = rest.indexOf(QLatin1Char('?')); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    QString path;
    if (const qsizetype slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
        path = decoded(rest.mid(slash + 1));
        rest.truncate(slash);
    }
    QString user;
    if (const qsizetype at = rest.lastIndexOf(QLatin1Char('@')); at >= 0) {
        const QString userInfo = rest.left(at);
        rest = rest.mid(at + 1);
        if (userInfo.contains(QLatin1Char(':')))
            return fail(QStringLiteral("a password does not belong in the address: put it in "
                                       ".pgpass or the file PGPASSFILE names"));
        user = decoded(userInfo);
    }
    // The host: a name, an IPv6 address in brackets, or a socket folder written %2F...
    QString host = rest;
    QString port;
    const qsizetype bracket = rest.lastIndexOf(QLatin1Char(']'));
    if (const qsizetype colon = rest.lastIndexOf(QLatin1Char(':')); colon > bracket) {
        host = rest.left(colon);
        port = rest.mid(colon + 1);
        bool number = false;
        const int value = port.toInt(&number);
        if (!number || value < 1 || value > 65535)
            return fail(usage);
    }
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    host = decoded(host);

    PostgresAddress result;
    const auto add = [&](const QString& keyword, const QString& value) {
        if (!value.isEmpty())
            result.keywords.append({keyword, value});
    };
    add(QStringLiteral("host"), host);
    add(QStringLiteral("port"), port);
    add(QStringLiteral("dbname"), path);
    add(QStringLiteral("user"), user);
    bool hostGiven = !host.isEmpty();
    bool databaseGiven = !path.isEmpty();
    for (const QString& item : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        const QString keyword = decoded(item.left(equals));
        const QString value = equals < 0 ? QString() : decoded(item.mid(equals + 1));
        if (keyword == QLatin1String("password") || keyword == QLatin1String("sslpassword"))
            return fail(QStringLiteral("a password does not belong in the address: put it in "
                                       ".pgpass or the file PGPASSFILE names"));
        if (!knownKeywords().contains(keyword))
            return fail(
                QStringLiteral("the address parameter \"%1\" is not one libpq knows").arg(keyword));
        // Qt's driver reads a semicolon as a separator.
        if (equals < 0 || value.isEmpty() || value.contains(QLatin1Char(';')))
            return fail(QStringLiteral("the address parameter \"%1\" needs a value without \";\"")
                            .arg(keyword));
        hostGiven =
            hostGiven || keyword == QLatin1String("host") || keyword == QLatin1String("hostaddr");
        databaseGiven = databaseGiven || keyword == QLatin1String("dbname");
        result.keywords.append({keyword, value});
    }
    if (!hostGiven)
        return fail(usage);
    if (!databaseGiven)
        return fail(QStringLiteral("the address names no database"));
    *out = result;
    return true;
}

QString postgresConnectOptions(const PostgresAddress& address, int lockMs, int statementMs)
{
    QString options = QStringLiteral("-c statement_timeout=%1 -c lock_timeout=%2 "
                                     "-c idle_in_transaction_session_timeout=%3")
                          .arg(statementMs)
                          .arg(lockMs)
                          .arg(kIdleInTransactionMs);
    QStringList parts{
        QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS),
        QStringLiteral("keepalives=1"),
        QStringLiteral("keepalives_idle=%1").arg(kKeepAliveIdleS),
        QStringLiteral("keepalives_interval=%1").arg(kKeepAliveIntervalS),
        QStringLiteral("keepalives_count=%1").arg(kKeepAliveCount),
        QStringLiteral("tcp_user_timeout=%1").arg(kTcpUserTimeoutMs),
    };
    for (const auto& [keyword, value] : address.keywords) {
        if (keyword == QLatin1String("options"))
            options += QLatin1Char(' ') + value; // the address's settings after ours
        else
            parts.append(keyword + QLatin1Char('=') + quoted(value));
    }
    parts.append(QStringLiteral("options=") + quoted(options));
    return parts.join(QLatin1Char(' '));
}

StoreLocation::StoreLocation()
{
    static int counter = 0;
    name_ = QStringLiteral("wispline-server-%1").arg(++counter);
}

bool StoreLocation::isPostgresAddress(const QString& path)
{
    return path.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           path.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

bool StoreLocation::set(const QString& path, QString* error)
{
    postgres_ = isPostgresAddress(path);
    if (postgres_)
        return parsePostgresAddress(path, &pgAddress_, error);
    const QFileInfo info(path);
    if (!createPrivately(path, error))
        return false;
    file_ = info.absoluteFilePath();
    return true;
}

QSqlDatabase StoreLocation::addConnection(const QString& name, int busyMs) const
{
    if (!postgres_) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file_);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs));
        return db;
    }
    // No password here: libpq reads it from .pgpass, or the file PGPASSFILE names.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setConnectOptions(postgresConnectOptions(
        pgAddress_, busyMs, busyMs <= kRoutingBusyMs ? kRoutingStatementMs : kStatementMs));
    return db;
}

} // namespace wispline::server
