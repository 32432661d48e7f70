#include "admin/ServiceNotifier.h"

#include <algorithm>
#include <systemd/sd-daemon.h>

namespace wispline::server
{

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent)
{
    connect(&watchdog_, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
}

void ServiceNotifier::ready(const QString& status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status.toUtf8()).constData());
    uint64_t usec = 0;
    // Twice per interval, as the manager advises, so one late turn is not a restart.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdog_.start(int(std::max<uint64_t>(usec / 2000, 1)));
        sd_notify(0, "WATCHDOG=1");
    }
}

void ServiceNotifier::stopping()
{
    sd_notify(0, "STOPPING=1");
}

} // namespace wispline::server
