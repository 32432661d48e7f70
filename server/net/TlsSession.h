#pragma once
// One connection's TLS session after its handshake, used by ClientConnection in place of
// recv and send. It also maps plaintext to the ciphertext that carried it, so that
// "acknowledged" still means the peer's TCP has the record with the byte in it.
#include <QList>
#include <QString>
#include <QtGlobal>

#include <utility>

typedef struct ssl_st SSL;

namespace wispline::server
{

class TlsSession
{
public:
    explicit TlsSession(SSL* ssl); // takes it
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Plaintext read: > 0 bytes, 0 when nothing waits now, or 0 with *ended set at the end of
    // the input (with *error set when it ended in a failure rather than a close or a reset).
    qint64 read(char* data, qint64 size, bool* ended, QString* error);
    // Plaintext decrypted and waiting beyond what the last read took.
    bool hasPending() const;
    // Plaintext written: > 0 bytes taken (a record each time), 0 to try again with the same
    // bytes or more once writable, -1 on failure with *error set.
    qint64 write(const char* data, qint64 size, QString* error);
    // Of the plaintext written, how much went in records the peer's TCP has acknowledged,
    // given the bytes the kernel still holds unacknowledged.
    qint64 acknowledged(qint64 unacknowledgedInKernel);
    // The orderly end: a close_notify, once, without waiting for the peer's.
    void closeNotify();
    // The protocol and cipher, for the log.
    QString description() const;

private:
    SSL* ssl_;
    qint64 plainWritten_ = 0;
    qint64 plainAcknowledged_ = 0;
    // Per write: the plaintext written up to it, and the ciphertext then on the socket.
    static constexpr std::size_t kTrimRecords = 64;
    // A list holds nothing while empty, where a deque keeps a 512-byte block.
    QList<std::pair<qint64, quint64>> records_;
};

} // namespace wispline::server
