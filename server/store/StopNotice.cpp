#include "store/StopNotice.h"

#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace wispline::server
{

bool readStopNotice(QSqlDatabase& db, StopNotice* notice)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'stop_notice'")))
        return false;
    *notice = StopNotice();
    if (q.next()) {
        // The id, a space, the text.
        const QString value = q.value(0).toString();
        notice->id = value.section(QLatin1Char(' '), 0, 0);
        notice->text = value.section(QLatin1Char(' '), 1);
    }
    return true;
}

bool writeStopNotice(QSqlDatabase& db, bool postgres, const QString& text, QString* error)
{
    const QString id =
        QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, u'0');
    QSqlQuery q(db);
    q.prepare(postgres ? QStringLiteral("INSERT INTO settings(key, value) VALUES('stop_notice', "
                                        "?) ON CONFLICT(key) DO UPDATE SET value = "
                                        "EXCLUDED.value")
                       : QStringLiteral("INSERT OR REPLACE INTO settings(key, value) "
                                        "VALUES('stop_notice', ?)"));
    q.addBindValue(id + QLatin1Char(' ') + text);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

} // namespace wispline::server
