#pragma once
// What the server accepted but could not write into the database when it left (the database
// locked by another program, its disk full, PostgreSQL away): kept in a local file, synced, for
// its owner only, which the next start writes into the database before it listens.
//
// The file is text, one record a line: a checksum (the first 16 hex digits of the SHA-256 of the
// rest of the line), a space, then fields separated by spaces, each UTF-8 with "%", space, and
// line ends percent-encoded. Each leaving appends one segment:
//
//   spill 1 ID ROWS WRITTEN DATABASE     the version (1), a random id, the row count, when
//                                        (ISO 8601) and for which database
//   o RECIPIENT TEXT CREATED             a display text kept for an offline user
//   m DAY TIME SENDER RECIPIENT BODY     a record of the day's messages
//   f DAY TIME SENDER RECIPIENT BODY TEXT CREATED
//                                        a message for a user of another node: both of the above
//   end ID ROWS
//
// A torn write (the process or the machine died while writing) shows as a line whose checksum
// fails or a segment without its end. Writers and the replay take an exclusive lock on the
// file, so servers sharing it (several nodes on one machine) never mix their lines.
#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <vector>

namespace wispline::server
{

struct SpilledRow {
    enum class Kind { Offline, DayRecord, ForOtherNode };
    Kind kind = Kind::Offline;
    // The day's record (DayRecord, ForOtherNode).
    QString day;
    QString time;
    QString sender;
    QString recipient; // every kind
    QString body;
    // Kept for an offline user (Offline, ForOtherNode): the display text.
    QString text;
    QString created;
};

// One leaving's rows, as read back.
struct SpillSegment {
    QByteArray id; // empty when its first line was damaged
    std::vector<SpilledRow> rows;
};

struct SpillContents {
    std::vector<SpillSegment> segments;
    int damagedLines = 0;      // checksums that failed, lines that make no sense
    int tornSegments = 0;      // segments whose end line is missing or disagrees
    QByteArray unknownVersion; // set: written by a server that knows more, and not read on
};

// A new segment's id (16 hex digits). One leaving keeps its id through every try, in the file
// and as the marker of a direct write to the database, so no try's rows count twice.
QByteArray newSpillId();
// The settings key that marks a segment as written into the database.
QString spillMarker(const QByteArray& id);

// Creates the spill file's folder for its owner when missing; false with the reason when it is
// no folder this process may write in (found at the start, not when the rows need it).
bool prepareSpillFolder(const QString& path, QString* error);

// Appends the rows to the file as one segment, then syncs the file and its folder; creates the
// file and its folder for their owner only. False with the reason, the file as it was: nothing
// counts as kept then.
bool appendSpill(const QString& path, const QByteArray& id, const std::vector<SpilledRow>& rows,
                 const QString& database, QString* error);

// Reads a file's segments: the lines whose checksum holds, grouped by segment. Of segments with
// one id (a try cut short, then a whole one) the one with most rows stands.
SpillContents parseSpill(const QByteArray& bytes);

// Writes rows (and the markers, as settings rows) in one transaction on db; a row the database
// refuses for good is set aside in set_aside and counted in setAsideRows. False with the reason
// when nothing could be written.
bool writeSpilledRows(QSqlDatabase& db, bool postgres, const std::vector<SpilledRow>& rows,
                      const QStringList& markers, int* setAsideRows, QString* error);

struct SpillReplay {
    qint64 rows = 0;        // written now
    qint64 skipped = 0;     // of segments written before (a replay cut short after its commit)
    int setAside = 0;       // refused for good
    QStringList recipients; // of the offline texts written now
    int damagedLines = 0;
    int tornSegments = 0;
    QString keptAs; // a damaged file is kept under this name for the operator
};

// Writes what the file at path holds into the database, in one transaction that also records
// each segment's id, then removes the file (a damaged one is renamed instead). A segment whose
// id the database has already is not written again, so a replay cut short after its commit
// doubles nothing. No file: nothing to do. False with the reason when the database did not take
// it: the file stays as it was.
bool replaySpill(const QString& path, QSqlDatabase& db, bool postgres, SpillReplay* report,
                 QString* error);

} // namespace wispline::server
