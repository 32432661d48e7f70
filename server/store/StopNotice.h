#pragma once
// An operator's announced stop, kept in the settings: a random id and the text that every server
// on the database tells its users before it stops. A server notes the id found at its start;
// another one later is the operator's word. A server started after the notice serves as usual.
#include <QSqlDatabase>
#include <QString>

namespace wispline::server
{

struct StopNotice {
    QString id; // empty: none was ever given
    QString text;
};

// The notice there now; false when it cannot be read.
bool readStopNotice(QSqlDatabase& db, StopNotice* notice);
// Records a new notice with the text, replacing the last; false with the reason.
bool writeStopNotice(QSqlDatabase& db, bool postgres, const QString& text, QString* error);

} // namespace wispline::server
