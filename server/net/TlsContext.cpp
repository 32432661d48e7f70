#include "net/TlsContext.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

namespace wispline::server
{

TlsContext::TlsContext() = default;

TlsContext::~TlsContext()
{
    SSL_CTX_free(ctx_);
}

QString TlsContext::lastError()
{
    QString text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text = QString::fromLatin1(buffer); // the first is usually the cause, the last the reason
    }
    return text.isEmpty() ? QStringLiteral("unknown TLS error") : text;
}

bool TlsContext::load(const QString& certificateFile, const QString& keyFile, QString* error)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    struct stat info {
    };
    const QByteArray keyPath = QFile::encodeName(keyFile);
    if (::stat(keyPath.constData(), &info) != 0)
        return fail(QStringLiteral("cannot read the key %1").arg(keyFile));
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        return fail(QStringLiteral("the key %1 can be read by others than its owner; "
                                   "chmod 600 it (or 400)")
                        .arg(keyFile));
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        return fail(lastError());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // Renegotiation is one more way for an anonymous peer to make the server compute.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // A peer that ends without a close_notify has ended all the same, as a plain one does.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Writes are taken a record at a time, from a buffer that may move between tries.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    // Whatever has arrived is taken in one read, not a record header and its body apiece.
    SSL_CTX_set_read_ahead(ctx, 1);
    // Resumption from tickets (the default) and the server's own session cache.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    static const unsigned char kContext[] = "wispline-server";
    SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
    const QByteArray certificatePath = QFile::encodeName(certificateFile);
    if (SSL_CTX_use_certificate_chain_file(ctx, certificatePath.constData()) != 1) {
        SSL_CTX_free(ctx);
        return fail(
            QStringLiteral("cannot use the certificate %1: %2").arg(certificateFile, lastError()));
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyPath.constData(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        SSL_CTX_free(ctx);
        return fail(QStringLiteral("cannot use the key %1: %2").arg(keyFile, lastError()));
    }
    SSL_CTX_free(ctx_);
    ctx_ = ctx;
    return true;
}

SSL* TlsContext::newSession(int descriptor) const
{
    if (!ctx_)
        return nullptr;
    SSL* ssl = SSL_new(ctx_);
    if (ssl && SSL_set_fd(ssl, descriptor) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

} // namespace wispline::server
