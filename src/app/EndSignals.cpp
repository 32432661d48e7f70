#include "app/EndSignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace wispline
{

namespace
{
sigset_t endSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

void EndSignals::block()
{
    const sigset_t set = endSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

EndSignals::EndSignals(QObject* parent) : QObject(parent)
{
    const sigset_t set = endSet();
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        // Blocked signals nobody reads would make the program deaf to SIGTERM: let them act.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &EndSignals::readOne);
}

EndSignals::~EndSignals()
{
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
}

void EndSignals::readOne()
{
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof(info)) == ssize_t(sizeof(info))) {
        switch (info.ssi_signo) {
        case SIGTERM:
            emit received("SIGTERM");
            break;
        case SIGINT:
            emit received("SIGINT");
            break;
        default:
            emit received("SIGHUP");
            break;
        }
    }
}

} // namespace wispline
