#include "net/TlsHandshaker.h"

#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wispline::server
{

qint64 TlsHandshaker::nowMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

TlsHandshaker::TlsHandshaker(const TlsContext& context, std::function<void(const Outcome&)> done)
    : context_(context), done_(std::move(done)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    thread_ = std::thread([this] { run(); });
}

TlsHandshaker::~TlsHandshaker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const quint64 one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    for (Pending& p : incoming_)
        pending_.push_back(p);
    for (Pending& p : pending_) {
        SSL_free(p.ssl);
        ::close(p.descriptor);
    }
    ::close(wakeFd_);
}

void TlsHandshaker::add(quint64 id, int descriptor, qint64 deadlineMs)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        incoming_.push_back({id, descriptor, deadlineMs});
    }
    const quint64 one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void TlsHandshaker::finish(Pending& p, bool keep, const QString& reason)
{
    Outcome outcome;
    outcome.id = p.id;
    outcome.reason = reason;
    outcome.late = !keep && !p.ssl && reason.isEmpty();
    if (keep) {
        outcome.descriptor = p.descriptor;
        outcome.ssl = p.ssl;
    } else {
        SSL_free(p.ssl);
        ::close(p.descriptor);
    }
    p.ssl = nullptr;
    p.descriptor = -1;
    done_(outcome);
}

bool TlsHandshaker::step(Pending& p)
{
    if (!p.ssl) {
        unsigned char first = 0;
        const ssize_t n = ::recv(p.descriptor, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        if (n <= 0) {
            finish(p, false, QStringLiteral("closed before a log-on"));
            return false;
        }
        if (first != TlsContext::kHandshakeRecord) {
            finish(p, true); // plain
            return false;
        }
        p.ssl = context_.newSession(p.descriptor);
        if (!p.ssl) {
            finish(p, false, TlsContext::lastError());
            return false;
        }
        SSL_set_accept_state(p.ssl);
        p.deadlineMs = std::min(p.deadlineMs, nowMs() + kHandshakeMs);
    }
    ERR_clear_error();
    errno = 0;
    const int r = SSL_do_handshake(p.ssl);
    if (r == 1) {
        finish(p, true);
        return false;
    }
    const int e = SSL_get_error(p.ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return true;
    QString why;
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0))
        why = QStringLiteral("closed by the peer");
    else if (e == SSL_ERROR_SYSCALL)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else
        why = TlsContext::lastError();
    finish(p, false, QStringLiteral("TLS handshake failed: %1").arg(why));
    return false;
}

void TlsHandshaker::run()
{
    // Named, so that top -H and the benchmark tell the threads apart.
    pthread_setname_np(pthread_self(), "tls-handshakes");
    std::vector<pollfd> polled;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            for (const Pending& p : incoming_)
                pending_.push_back(p);
            incoming_.clear();
        }
        // Past their deadline: over.
        const qint64 now = nowMs();
        qint64 next = -1;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->deadlineMs <= now) {
                finish(*it, false,
                       it->ssl ? QStringLiteral("TLS handshake not done in time, connection closed")
                               : QString());
                it = pending_.erase(it);
                continue;
            }
            next = next < 0 ? it->deadlineMs : std::min(next, it->deadlineMs);
            ++it;
        }
        polled.clear();
        polled.push_back({wakeFd_, POLLIN, 0});
        for (const Pending& p : pending_) {
            const bool wantsWrite = p.ssl && SSL_want_write(p.ssl);
            polled.push_back({p.descriptor, short(wantsWrite ? POLLOUT : POLLIN), 0});
        }
        const int timeout = next < 0 ? -1 : int(std::clamp<qint64>(next - now, 0, 60000));
        if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            continue;
        if (polled[0].revents) {
            quint64 count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        std::vector<Pending> kept;
        kept.reserve(pending_.size());
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending& p = pending_[i];
            if (polled[i + 1].revents == 0 || step(p))
                kept.push_back(p);
        }
        pending_.swap(kept);
    }
}

} // namespace wispline::server
