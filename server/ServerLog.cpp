#include "ServerLog.h"

#include <QDateTime>
#include <cstdio>

namespace wispline::server
{
namespace
{
bool logEnabled = true;
}

void logLine(const QString& text)
{
    if (!logEnabled)
        return;
    const QByteArray line =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")).toUtf8() +
        text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
}

void setLogEnabled(bool enabled)
{
    logEnabled = enabled;
}

} // namespace wispline::server
