// Encrypted connections: the certificate, and connections handed back by the handshake thread.
#include "base/ServerLog.h"
#include "net/TlsContext.h"
#include "net/TlsHandshaker.h"
#include "net/TlsSession.h"
#include "routing/MessageServerClient.h"

#include <openssl/ssl.h>
#include <unistd.h>

namespace wispline::server
{

struct MessageServer::Handshake : TlsHandshaker::Outcome {
};

bool MessageServer::useTls(const QString& certificateFile, const QString& keyFile, QString* error)
{
    auto context = std::make_unique<TlsContext>();
    if (!context->load(certificateFile, keyFile, error))
        return false;
    tls_ = std::move(context);
    // The outcome comes back to this thread; one for an object already gone is dropped.
    handshaker_ = std::make_unique<TlsHandshaker>(*tls_, [this](const TlsHandshaker::Outcome& o) {
        Handshake outcome;
        static_cast<TlsHandshaker::Outcome&>(outcome) = o;
        QMetaObject::invokeMethod(
            this, [this, outcome] { handshakeDone(outcome); }, Qt::QueuedConnection);
    });
    return true;
}

void MessageServer::handshakeDone(const Handshake& outcome)
{
    const auto found = handshaking_.find(outcome.id);
    if (found == handshaking_.end()) {
        SSL_free(outcome.ssl);
        if (outcome.descriptor >= 0)
            ::close(outcome.descriptor);
        return;
    }
    const auto [remote, deadline] = found->second;
    handshaking_.erase(found);
    if (outcome.descriptor < 0 || shuttingDown_) {
        listener_.release(remote);
        SSL_free(outcome.ssl);
        if (outcome.descriptor >= 0)
            ::close(outcome.descriptor);
        else if (outcome.late)
            logLine(QStringLiteral("#%1 from %2: not logged on within %3 s, connection closed")
                        .arg(outcome.id)
                        .arg(remote)
                        .arg(limits_.logOnTimeMs / 1000.0));
        else
            logLine(QStringLiteral("#%1 from %2: %3").arg(outcome.id).arg(remote, outcome.reason));
        return;
    }
    std::unique_ptr<TlsSession> session;
    if (outcome.ssl)
        session = std::make_unique<TlsSession>(outcome.ssl);
    adopt(outcome.id, outcome.descriptor,
          std::make_unique<ClientConnection>(outcome.descriptor, limits_.deadPeerSeconds,
                                             limits_.closeTimeMs, std::move(session)),
          remote, deadline);
}

} // namespace wispline::server
