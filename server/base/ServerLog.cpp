#include "base/ServerLog.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

namespace wispline::server
{
namespace
{

bool logEnabled = true;
bool debugEnabled = false;

// However busy the clients keep it, the log takes at most kLinesPerSecond lines a second after
// a burst of kBurstLines; what is left out is counted in the next line written.
constexpr double kLinesPerSecond = 200;
constexpr double kBurstLines = 2000;

struct RateLimit {
    QElapsedTimer clock;
    double tokens = kBurstLines;
    qint64 lastMs = 0;
    qint64 suppressed = 0;

    bool take()
    {
        if (!clock.isValid())
            clock.start();
        const qint64 now = clock.elapsed();
        tokens = std::min(kBurstLines, tokens + double(now - lastMs) * kLinesPerSecond / 1000);
        lastMs = now;
        if (tokens < 1) {
            ++suppressed;
            return false;
        }
        tokens -= 1;
        return true;
    }
};

void write(const QString& text)
{
    const QByteArray line =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")).toUtf8() +
        text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
}

} // namespace

void logLine(const QString& text)
{
    // Only the routing thread logs.
    static RateLimit limit;
    if (!logEnabled || !limit.take())
        return;
    if (limit.suppressed > 0) {
        write(QStringLiteral("%1 log line(s) left out: more than %2 a second")
                  .arg(limit.suppressed)
                  .arg(kLinesPerSecond));
        limit.suppressed = 0;
    }
    write(text);
}

void debugLine(const QString& text)
{
    if (debugEnabled)
        logLine(text);
}

void setDebugEnabled(bool enabled)
{
    debugEnabled = enabled;
}

void setLogEnabled(bool enabled)
{
    logEnabled = enabled;
}

} // namespace wispline::server
