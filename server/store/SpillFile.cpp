#include "store/SpillFile.h"
#include "base/WriteAll.h"
#include "store/StoreConnection.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{

constexpr const char* kVersion = "1";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray checksum(QByteArrayView payload)
{
    return QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex().left(16);
}

QByteArray encoded(const QString& field)
{
    QByteArray bytes = field.toUtf8();
    bytes.replace('%', "%25");
    bytes.replace(' ', "%20");
    bytes.replace('\n', "%0A");
    bytes.replace('\r', "%0D");
    return bytes;
}

QString decoded(const QByteArray& field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

void addLine(QByteArray& out, const QList<QByteArray>& fields)
{
    const QByteArray payload = fields.join(' ');
    out += checksum(payload) + ' ' + payload + '\n';
}

// The folder's entry of a new or removed file survives a crash only once the folder is synced.
void syncFolder(const QString& path)
{
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

// Opens the file at path and locks it; the descriptor of the file that is still there under
// that name once locked (a replay may have removed the one opened), -1 with errno otherwise.
int openLocked(const QString& path, int flags)
{
    const QByteArray name = QFile::encodeName(path);
    for (;;) {
        const int fd = ::open(name.constData(), flags | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0)
            return -1;
        struct stat opened = {};
        struct stat named = {};
        if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &opened) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        if (::stat(name.constData(), &named) == 0 && named.st_ino == opened.st_ino &&
            named.st_dev == opened.st_dev)
            return fd;
        ::close(fd);
    }
}

QByteArray readAll(int fd, bool* ok)
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *ok = false;
            return bytes;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    *ok = true;
    return bytes;
}

QList<QByteArray> fieldsOf(const SpilledRow& r)
{
    switch (r.kind) {
    case SpilledRow::Kind::Offline:
        return {"o", encoded(r.recipient), encoded(r.text), encoded(r.created)};
    case SpilledRow::Kind::DayRecord:
        return {"m",
                encoded(r.day),
                encoded(r.time),
                encoded(r.sender),
                encoded(r.recipient),
                encoded(r.body)};
    case SpilledRow::Kind::ForOtherNode:
        break;
    }
    return {"f",
            encoded(r.day),
            encoded(r.time),
            encoded(r.sender),
            encoded(r.recipient),
            encoded(r.body),
            encoded(r.text),
            encoded(r.created)};
}

// A row from its fields (the kind first); false when they do not make one.
bool rowOf(const QList<QByteArray>& f, SpilledRow* r)
{
    if (f[0] == "o" && f.size() == 4) {
        r->kind = SpilledRow::Kind::Offline;
        r->recipient = decoded(f[1]);
        r->text = decoded(f[2]);
        r->created = decoded(f[3]);
        return true;
    }
    if ((f[0] == "m" && f.size() == 6) || (f[0] == "f" && f.size() == 8)) {
        r->kind = f[0] == "m" ? SpilledRow::Kind::DayRecord : SpilledRow::Kind::ForOtherNode;
        r->day = decoded(f[1]);
        r->time = decoded(f[2]);
        r->sender = decoded(f[3]);
        r->recipient = decoded(f[4]);
        r->body = decoded(f[5]);
        if (f.size() == 8) {
            r->text = decoded(f[6]);
            r->created = decoded(f[7]);
        }
        return true;
    }
    return false;
}

} // namespace

QByteArray newSpillId()
{
    return QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
}

QString spillMarker(const QByteArray& id)
{
    return QStringLiteral("spill ") + QString::fromLatin1(id);
}

bool prepareSpillFolder(const QString& path, QString* error)
{
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.exists()) {
        if (!QDir().mkpath(folder.absoluteFilePath())) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder.absoluteFilePath());
            return false;
        }
        QFile::setPermissions(folder.absoluteFilePath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!QFileInfo(folder.absoluteFilePath()).isDir() ||
        ::access(QFile::encodeName(folder.absoluteFilePath()).constData(), W_OK | X_OK) != 0) {
        *error = QStringLiteral("%1 is no folder this server may write in")
                     .arg(folder.absoluteFilePath());
        return false;
    }
    return true;
}

bool appendSpill(const QString& path, const QByteArray& id, const std::vector<SpilledRow>& rows,
                 const QString& database, QString* error)
{
    if (rows.empty())
        return true;
    const QByteArray count = QByteArray::number(qint64(rows.size()));
    QByteArray out;
    out.reserve(qsizetype(rows.size()) * 160);
    addLine(out,
            {"spill", kVersion, id, count,
             encoded(QDateTime::currentDateTime().toString(Qt::ISODateWithMs)), encoded(database)});
    for (const SpilledRow& r : rows)
        addLine(out, fieldsOf(r));
    addLine(out, {"end", id, count});

    // The folder is made for the owner only, as the database's is.
    if (!prepareSpillFolder(path, error))
        return false;
    const int fd = openLocked(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        return false;
    }
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    // A line cut short by a writer that died must not swallow this segment's first line.
    struct stat info = {};
    const bool sized = ::fstat(fd, &info) == 0;
    char last = '\n';
    if (sized && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
        out.prepend('\n');
    const bool ok = sized && writeAll(fd, out) && ::fsync(fd) == 0;
    if (!ok) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, systemError());
        // Cut back to what was there (a full disk lets a file shrink): a later try, or the
        // database, takes these rows. Should even that fail, the rows that got in are of this
        // id, which a later try and the database's marker share.
        if (sized && ::ftruncate(fd, info.st_size) == 0)
            ::fsync(fd);
    }
    ::close(fd);
    if (ok)
        syncFolder(path);
    return ok;
}

SpillContents parseSpill(const QByteArray& bytes)
{
    SpillContents contents;
    SpillSegment current;
    bool open = false;
    QByteArray expected; // the row count the open segment's first line gave
    QCryptographicHash anonymous(QCryptographicHash::Sha256);
    const auto close = [&](bool whole) {
        if (!whole)
            ++contents.tornSegments;
        if (current.id.isEmpty())
            current.id = "h" + anonymous.result().toHex().left(16);
        contents.segments.push_back(std::move(current));
        current = SpillSegment();
        anonymous.reset();
        open = false;
    };
    for (const QByteArray& line : bytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype space = line.indexOf(' ');
        const QByteArrayView payload =
            space < 0 ? QByteArrayView() : QByteArrayView(line).sliced(space + 1);
        if (space != 16 || line.first(16) != checksum(payload)) {
            ++contents.damagedLines;
            continue;
        }
        const QList<QByteArray> f = payload.toByteArray().split(' ');
        if (f[0] == "spill") {
            if (f.size() >= 2 && f[1] != kVersion) {
                contents.unknownVersion = f[1];
                return contents;
            }
            if (open)
                close(false);
            if (f.size() != 6) {
                ++contents.damagedLines;
                continue;
            }
            current.id = f[2];
            expected = f[3];
            open = true;
            continue;
        }
        if (f[0] == "end") {
            if (!open && current.rows.empty()) {
                ++contents.damagedLines;
                continue;
            }
            close(f.size() == 3 && f[1] == current.id && !current.id.isEmpty() &&
                  f[2] == expected && QByteArray::number(qint64(current.rows.size())) == expected);
            continue;
        }
        SpilledRow row;
        if (!rowOf(f, &row)) {
            ++contents.damagedLines;
            continue;
        }
        // Rows after a damaged first line form a segment of their own, named by what they hold.
        if (current.id.isEmpty())
            anonymous.addData(line);
        open = true;
        current.rows.push_back(std::move(row));
    }
    if (open)
        close(false);
    // Of segments with one id, the one with most rows stands, in the place of the first.
    std::vector<SpillSegment> merged;
    for (SpillSegment& s : contents.segments) {
        const auto same = std::find_if(merged.begin(), merged.end(),
                                       [&](const SpillSegment& m) { return m.id == s.id; });
        if (same == merged.end())
            merged.push_back(std::move(s));
        else if (s.rows.size() > same->rows.size())
            *same = std::move(s);
    }
    contents.segments = std::move(merged);
    return contents;
}

bool writeSpilledRows(QSqlDatabase& db, bool postgres, const std::vector<SpilledRow>& rows,
                      const QStringList& markers, int* setAsideRows, QString* error)
{
    // First all at once; when a row's own values are refused, again with each row in a savepoint
    // of its own, so that one is set aside and the others go in.
    for (const bool oneByOne : {false, true}) {
        if (!db.transaction()) {
            *error = db.lastError().text();
            return false;
        }
        QSqlQuery message(db);
        QSqlQuery offline(db);
        QSqlQuery marker(db);
        QSqlQuery savepoint(db);
        message.prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, body) "
                                       "VALUES(?, ?, ?, ?, ?)"));
        offline.prepare(
            QStringLiteral("INSERT INTO offline(recipient, text, created) VALUES(?, ?, ?)"));
        marker.prepare(QStringLiteral("INSERT INTO settings(key, value) VALUES(?, ?)"));
        QSqlError failure;
        bool ok = true;
        bool rowFault = false;
        int aside = 0;
        for (const SpilledRow& r : rows) {
            if (oneByOne && !savepoint.exec(QStringLiteral("SAVEPOINT spilled_row"))) {
                failure = savepoint.lastError();
                ok = false;
                break;
            }
            bool written = true;
            if (r.kind != SpilledRow::Kind::Offline) {
                message.bindValue(0, r.day);
                message.bindValue(1, r.time);
                message.bindValue(2, r.sender);
                message.bindValue(3, r.recipient);
                message.bindValue(4, r.body);
                written = message.exec();
                if (!written)
                    failure = message.lastError();
            }
            if (written && r.kind != SpilledRow::Kind::DayRecord) {
                offline.bindValue(0, r.recipient);
                offline.bindValue(1, r.text);
                offline.bindValue(2, r.created);
                written = offline.exec();
                if (!written)
                    failure = offline.lastError();
            }
            if (!written) {
                if (!rowAtFault(failure, postgres) || !oneByOne) {
                    rowFault = rowAtFault(failure, postgres);
                    ok = false;
                    break;
                }
                // In the layout set_aside has for each kind elsewhere.
                const QVariantList record{r.day, r.time, r.sender, r.recipient, r.body};
                const QVariantList kept{r.recipient, r.text, r.created};
                const bool set =
                    savepoint.exec(QStringLiteral("ROLLBACK TO SAVEPOINT spilled_row")) &&
                    (r.kind == SpilledRow::Kind::Offline
                         ? setAside(db, QStringLiteral("offline"), failure, kept)
                     : r.kind == SpilledRow::Kind::DayRecord
                         ? setAside(db, QStringLiteral("message"), failure, record)
                         : setAside(db, QStringLiteral("forward"), failure,
                                    record + QVariantList{r.text, r.created}));
                if (!set) {
                    failure = savepoint.lastError();
                    ok = false;
                    break;
                }
                ++aside;
            }
            if (oneByOne && !savepoint.exec(QStringLiteral("RELEASE SAVEPOINT spilled_row"))) {
                failure = savepoint.lastError();
                ok = false;
                break;
            }
        }
        const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
        for (auto m = markers.cbegin(); ok && m != markers.cend(); ++m) {
            marker.bindValue(0, *m);
            marker.bindValue(1, now);
            ok = marker.exec();
            if (!ok)
                failure = marker.lastError();
        }
        if (ok && !db.commit()) {
            failure = db.lastError();
            ok = false;
        }
        if (ok) {
            *setAsideRows = aside;
            return true;
        }
        db.rollback();
        *error = failure.text();
        if (!rowFault)
            return false;
    }
    return false;
}

bool replaySpill(const QString& path, QSqlDatabase& db, bool postgres, SpillReplay* report,
                 QString* error)
{
    const int fd = openLocked(path, O_RDWR);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        return false;
    }
    bool read = false;
    const QByteArray bytes = readAll(fd, &read);
    if (!read) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, systemError());
        ::close(fd);
        return false;
    }
    const SpillContents contents = parseSpill(bytes);
    if (!contents.unknownVersion.isEmpty()) {
        *error = QStringLiteral("%1 is of version %2, which this server does not read")
                     .arg(path, QString::fromLatin1(contents.unknownVersion.left(16)));
        ::close(fd);
        return false;
    }
    // Segments a replay cut short after its commit wrote already are left out.
    std::vector<SpilledRow> rows;
    QStringList markers;
    QSet<QString> recipients;
    QSqlQuery seen(db);
    seen.prepare(QStringLiteral("SELECT 1 FROM settings WHERE key = ?"));
    for (const SpillSegment& segment : contents.segments) {
        seen.bindValue(0, spillMarker(segment.id));
        if (!seen.exec()) {
            *error = seen.lastError().text();
            ::close(fd);
            return false;
        }
        const bool before = seen.next();
        seen.finish();
        if (before) {
            report->skipped += qint64(segment.rows.size());
            continue;
        }
        markers.append(spillMarker(segment.id));
        for (const SpilledRow& r : segment.rows) {
            if (r.kind != SpilledRow::Kind::DayRecord)
                recipients.insert(r.recipient);
            rows.push_back(r);
        }
    }
    int aside = 0;
    if (!markers.isEmpty() && !writeSpilledRows(db, postgres, rows, markers, &aside, error)) {
        ::close(fd);
        return false;
    }
    report->rows = qint64(rows.size()) - aside;
    report->setAside = aside;
    report->recipients = QStringList(recipients.cbegin(), recipients.cend());
    report->damagedLines = contents.damagedLines;
    report->tornSegments = contents.tornSegments;
    // Committed: the file goes, or stays under another name for the operator to look at.
    if (contents.damagedLines > 0 || contents.tornSegments > 0) {
        report->keptAs =
            path + QStringLiteral(".damaged-") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        if (::rename(QFile::encodeName(path).constData(),
                     QFile::encodeName(report->keptAs).constData()) != 0) {
            report->keptAs.clear();
            ::unlink(QFile::encodeName(path).constData());
        }
    } else {
        ::unlink(QFile::encodeName(path).constData());
    }
    syncFolder(path);
    ::close(fd);
    return true;
}

} // namespace wispline::server
