#include "net/TlsSession.h"

#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace wispline::server
{

TlsSession::TlsSession(SSL* ssl) : ssl_(ssl) {}

TlsSession::~TlsSession()
{
    SSL_free(ssl_);
}

qint64 TlsSession::read(char* data, qint64 size, bool* ended, QString* error)
{
    *ended = false;
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(ssl_, data, int(std::min<qint64>(size, INT_MAX)));
    if (n > 0)
        return n;
    switch (SSL_get_error(ssl_, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        break; // the peer's close_notify
    case SSL_ERROR_SYSCALL:
        if (errno != 0 && errno != ECONNRESET)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        break;
    default:
        *error = TlsContext::lastError();
        break;
    }
    *ended = true;
    return 0;
}

bool TlsSession::hasPending() const
{
    return SSL_has_pending(ssl_) == 1;
}

qint64 TlsSession::write(const char* data, qint64 size, QString* error)
{
    ERR_clear_error();
    errno = 0;
    const int n = SSL_write(ssl_, data, int(std::min<qint64>(size, INT_MAX)));
    if (n > 0) {
        plainWritten_ += n;
        records_.emplace_back(plainWritten_, BIO_number_written(SSL_get_wbio(ssl_)));
        // Only unacknowledged messages ask for the acknowledgements; control frames alone
        // would pile records up for good on a quiet connection.
        if (records_.size() >= qsizetype(kTrimRecords)) {
            int queued = 0;
            if (::ioctl(SSL_get_fd(ssl_), SIOCOUTQ, &queued) == 0)
                acknowledged(queued);
        }
        return n;
    }
    switch (SSL_get_error(ssl_, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_SYSCALL:
        *error = errno ? QString::fromLocal8Bit(std::strerror(errno))
                       : QStringLiteral("connection ended");
        return -1;
    default:
        *error = TlsContext::lastError();
        return -1;
    }
}

qint64 TlsSession::acknowledged(qint64 unacknowledgedInKernel)
{
    // Everything the session put on the socket counts, handshake and tickets included: the
    // kernel's queue holds its last bytes.
    const quint64 onSocket = BIO_number_written(SSL_get_wbio(ssl_));
    const quint64 taken = onSocket - std::min<quint64>(onSocket, quint64(unacknowledgedInKernel));
    while (!records_.empty() && records_.front().second <= taken) {
        plainAcknowledged_ = records_.front().first;
        records_.pop_front();
    }
    if (records_.empty())
        records_ = QList<std::pair<qint64, quint64>>(); // an idle session keeps no storage
    return plainAcknowledged_;
}

void TlsSession::closeNotify()
{
    ERR_clear_error();
    if (!(SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN))
        SSL_shutdown(ssl_);
    ERR_clear_error();
}

QString TlsSession::description() const
{
    return QStringLiteral("%1 %2%3").arg(
        QString::fromLatin1(SSL_get_version(ssl_)), QString::fromLatin1(SSL_get_cipher_name(ssl_)),
        SSL_session_reused(ssl_) ? QStringLiteral(", resumed") : QString());
}

} // namespace wispline::server
