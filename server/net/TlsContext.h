#pragma once
// The server's certificate and key, and the settings every TLS connection shares: TLS 1.2 and
// 1.3 only, the library's default ciphers, no renegotiation, sessions resumed from tickets.
#include <QString>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace wispline::server
{

class TlsContext
{
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // PEM files; false with a reason when either cannot be used. The key must be readable by
    // its owner only: a key others can read is no secret.
    bool load(const QString& certificateFile, const QString& keyFile, QString* error);
    bool isLoaded() const { return ctx_ != nullptr; }
    // A new server-side session on the descriptor (not owned), or nullptr.
    SSL* newSession(int descriptor) const;

    // The first byte of a TLS connection: a handshake record.
    static constexpr unsigned char kHandshakeRecord = 0x16;
    // The library's description of its last error, cleared.
    static QString lastError();

private:
    SSL_CTX* ctx_ = nullptr;
};

} // namespace wispline::server
