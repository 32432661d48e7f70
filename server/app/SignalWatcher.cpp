#include "app/SignalWatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{

int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &byte, 1);
    errno = saved;
}

} // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {}

SignalWatcher::~SignalWatcher()
{
    delete notifier_;
}

bool SignalWatcher::watch(std::initializer_list<int> signalNumbers)
{
    if (pipeEnds[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeEnds) != 0)
            return false;
        // A full pair must never block the handler.
        ::fcntl(pipeEnds[0], F_SETFL, ::fcntl(pipeEnds[0], F_GETFL) | O_NONBLOCK);
        ::fcntl(pipeEnds[1], F_SETFL, ::fcntl(pipeEnds[1], F_GETFL) | O_NONBLOCK);
    }
    if (!notifier_) {
        notifier_ = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read);
        connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::drain);
    }
    for (const int number : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void SignalWatcher::drain()
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(pipeEnds[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit received(bytes[i]);
    }
}

} // namespace wispline::server
