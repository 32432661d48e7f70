// Encrypted connections: the certificate, and connections handed back by the handshake thread.
#include "base/ServerLog.h"
#include "net/TlsContext.h"
#include "net/TlsHandshaker.h"
#include "net/TlsSession.h"
#include "routing/MessageServerClient.h"

#include <openssl/ssl.h>
#include <unistd.h>
#include <utility>

namespace wispline::server
{

// A connection back from the handshake thread; whatever is not taken from it is closed, also
// when it is dropped unhandled with the server.
struct MessageServer::Handshake : TlsHandshaker::Outcome {
    explicit Handshake(const TlsHandshaker::Outcome& o) : TlsHandshaker::Outcome(o) {}
    ~Handshake()
    {
        SSL_free(ssl);
        if (descriptor >= 0)
            ::close(descriptor);
    }
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;
};

bool MessageServer::useTls(const QString& certificateFile, const QString& keyFile, QString* error)
{
    auto context = std::make_unique<TlsContext>();
    if (!context->load(certificateFile, keyFile, error))
        return false;
    tls_ = std::move(context);
    handshaker_ = std::make_unique<TlsHandshaker>(*tls_, [this](const TlsHandshaker::Outcome& o) {
        auto outcome = std::make_shared<Handshake>(o);
        QMetaObject::invokeMethod(
            this, [this, outcome] { handshakeDone(*outcome); }, Qt::QueuedConnection);
    });
    return true;
}

void MessageServer::handshakeDone(Handshake& outcome)
{
    const auto found = handshaking_.find(outcome.id);
    if (found == handshaking_.end())
        return;
    const Arrival arrival = found->second;
    const QString& remote = arrival.remote;
    handshaking_.erase(found);
    if (outcome.descriptor < 0 || shuttingDown_) {
        listener_.release(remote);
        if (outcome.late)
            logLine(QStringLiteral("#%1 from %2: not logged on within %3 s, connection closed")
                        .arg(outcome.id)
                        .arg(remote)
                        .arg(limits_.logOnTimeMs / 1000.0));
        else if (outcome.descriptor < 0)
            logLine(QStringLiteral("#%1 from %2: %3").arg(outcome.id).arg(remote, outcome.reason));
        return;
    }
    std::unique_ptr<TlsSession> session;
    if (outcome.ssl)
        session = std::make_unique<TlsSession>(std::exchange(outcome.ssl, nullptr));
    const int descriptor = std::exchange(outcome.descriptor, -1);
    adopt(outcome.id, descriptor,
          std::make_unique<ClientConnection>(descriptor, limits_.deadPeerSeconds,
                                             limits_.closeTimeMs, std::move(session)),
          arrival);
}

} // namespace wispline::server
