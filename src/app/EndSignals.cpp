#include "app/EndSignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace wispline
{

namespace
{
// The end signals this process reacts to: a signal the parent set to be ignored (nohup ignores
// SIGHUP) stays ignored, as blocking and reading it would override that choice.
sigset_t endSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current = {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaddset(&set, signal);
    }
    return set;
}

sigset_t g_blocked;

// A forked child inherits the mask but nobody reads its signals: it gets them back as usual.
void unblockInChild()
{
    pthread_sigmask(SIG_UNBLOCK, &g_blocked, nullptr);
}
} // namespace

void EndSignals::block()
{
    g_blocked = endSet();
    pthread_sigmask(SIG_BLOCK, &g_blocked, nullptr);
    static const bool registered = pthread_atfork(nullptr, nullptr, unblockInChild) == 0;
    (void)registered;
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
