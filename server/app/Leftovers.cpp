#include "app/Leftovers.h"

#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "cluster/ServerNode.h"
#include "store/ServerStore.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace wispline::server
{

void keepLeftovers(ServerStore& store, ServerNode* node, const QString& spillPath,
                   const QString& database, bool storeWorks)
{
    if (storeWorks && !store.flush())
        logLine(
            QStringLiteral("storage: could not save the last messages: %1").arg(store.lastError()));
    std::vector<SpilledRow> rows;
    if (node)
        rows = node->takeOutgoing(storeWorks);
    std::vector<SpilledRow> unwritten = store.takeUnwritten();
    rows.insert(rows.end(), std::make_move_iterator(unwritten.begin()),
                std::make_move_iterator(unwritten.end()));
    if (rows.empty())
        return;
    // One id through every try: rows that got into the file from a try cut short are never
    // written twice (see SpillFile.h).
    const QByteArray id = newSpillId();
    QElapsedTimer held;
    for (;;) {
        QString spillError;
        if (appendSpill(spillPath, id, rows, database, &spillError)) {
            metrics::count(metrics::Counter::RowsSpilled, quint64(rows.size()));
            logLine(QStringLiteral("storage: %1 write(s) the database did not take are kept in %2; "
                                   "the next start writes them into the database before it "
                                   "listens")
                        .arg(rows.size())
                        .arg(spillPath));
            return;
        }
        QString storeError;
        if (store.writeRows(rows, id, &storeError)) {
            logLine(QStringLiteral("storage: the last %1 write(s) went into the database after all")
                        .arg(rows.size()));
            return;
        }
        if (!held.isValid() || held.elapsed() >= kLeftoverLogMs) {
            held.start();
            logLine(QStringLiteral("storage: %1 write(s) held: neither the spill file (%2) nor the "
                                   "database (%3) takes them; trying both every second")
                        .arg(rows.size())
                        .arg(spillError, storeError));
        }
        QEventLoop wait;
        QTimer::singleShot(kLeftoverRetryMs, &wait, &QEventLoop::quit);
        wait.exec();
    }
}

void reportReplay(const SpillReplay& replay, const QString& spillPath)
{
    metrics::count(metrics::Counter::RowsReplayed, quint64(replay.rows));
    if (replay.rows > 0 || replay.setAside > 0)
        logLine(QStringLiteral("storage: %1 write(s) kept in %2 when the server last left are in "
                               "the database now%3")
                    .arg(replay.rows)
                    .arg(spillPath)
                    .arg(replay.setAside > 0
                             ? QStringLiteral(", %1 more refused for good and set aside in "
                                              "set_aside")
                                   .arg(replay.setAside)
                             : QString()));
    if (replay.skipped > 0)
        logLine(QStringLiteral("storage: %1 write(s) in %2 were in the database already, left out")
                    .arg(replay.skipped)
                    .arg(spillPath));
    if (replay.damagedLines > 0 || replay.tornSegments > 0)
        logLine(QStringLiteral("storage: %1 was damaged (%2 line(s) unreadable, %3 write(s) cut "
                               "short): what was whole is in the database, the file is kept as %4")
                    .arg(spillPath)
                    .arg(replay.damagedLines)
                    .arg(replay.tornSegments)
                    .arg(replay.keptAs.isEmpty() ? QStringLiteral("(could not be renamed; removed)")
                                                 : replay.keptAs));
}

} // namespace wispline::server
