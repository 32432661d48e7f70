#pragma once
// The key derivation and message authentication the way in needs, from OpenSSL, and the
// server's own secret key: a file of 32 random bytes (64 hex digits) readable by its owner only,
// made at the first start and kept outside the database, so that what the database holds is of
// no use without it.
#include <QByteArray>
#include <QString>

namespace wispline::server::crypto
{

// PBKDF2-HMAC-SHA256 of the password with the salt, length bytes long.
QByteArray pbkdf2Sha256(const QByteArray& password, const QByteArray& salt, int iterations,
                        int length = 32);
QByteArray hmacSha256(const QByteArray& key, const QByteArray& data);
// Takes the same time wherever the two differ (their lengths are no secret).
bool sameBytes(const QByteArray& a, const QByteArray& b);
QByteArray randomBytes(int count);

inline constexpr int kServerKeyBytes = 32;
// Reads the key of the file, or makes one there when there is none (its folder too); false with
// a reason when the file cannot be made, is not a key, or others than its owner may read it.
// Servers starting together on one file read the same key.
bool loadServerKey(const QString& file, QByteArray* key, QString* error);

} // namespace wispline::server::crypto
