#include "admin/ServiceNotifier.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{

// The manager's notification protocol, spoken directly rather than through libsystemd (which
// would be loaded, with its own dependencies, by every server, managed or not): one datagram of
// "NAME=value" lines to the AF_UNIX socket NOTIFY_SOCKET names, "@" starting an abstract one.
void notify(const QByteArray& state)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() < 2 || std::size_t(path.size()) >= sizeof address.sun_path ||
        (path[0] != '/' && path[0] != '@'))
        return;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(path.size()));
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    else
        ++length; // with the name's terminating zero
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    (void)::sendto(fd, state.constData(), std::size_t(state.size()), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
}

// The watchdog interval the manager asks for, in microseconds, or 0: WATCHDOG_USEC, meant for
// this process when WATCHDOG_PID is absent or names it.
quint64 watchdogInterval()
{
    bool ok = false;
    const quint64 usec = qEnvironmentVariable("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok)
        return 0;
    if (qEnvironmentVariableIsSet("WATCHDOG_PID")) {
        const qint64 pid = qEnvironmentVariable("WATCHDOG_PID").toLongLong(&ok);
        if (!ok || pid != qint64(::getpid()))
            return 0;
    }
    return usec;
}

} // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent)
{
    connect(&watchdog_, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
}

void ServiceNotifier::ready(const QString& status)
{
    notify("READY=1\nSTATUS=" + status.toUtf8());
    // Twice per interval, as the manager advises, so one late turn is not a restart.
    if (const quint64 usec = watchdogInterval(); usec > 0) {
        watchdog_.start(int(std::clamp<quint64>(usec / 2000, 1, INT_MAX)));
        notify("WATCHDOG=1");
    }
}

void ServiceNotifier::stopping()
{
    notify("STOPPING=1");
}

} // namespace wispline::server
