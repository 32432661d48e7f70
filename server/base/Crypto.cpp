#include "base/Crypto.h"
#include "base/WriteAll.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wispline::server::crypto
{
namespace
{

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Writes a new key beside the file and links it in under the file's name, which fails when
// another server made one first: then that one is read.
bool makeKey(const QString& file, QString* error)
{
    const QString folder = QFileInfo(file).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
            return false;
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray path = QFile::encodeName(file);
    const QByteArray temporary = path + ".new." + QByteArray::number(::getpid());
    const int fd =
        ::open(temporary.constData(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(file, systemError());
        return false;
    }
    const bool written =
        writeAll(fd, randomBytes(kServerKeyBytes).toHex() + '\n') && ::fsync(fd) == 0;
    const QString why = systemError();
    ::close(fd);
    const bool linked =
        written && (::link(temporary.constData(), path.constData()) == 0 || errno == EEXIST);
    const QString linkWhy = systemError();
    ::unlink(temporary.constData());
    if (!linked) {
        *error = QStringLiteral("cannot write %1: %2").arg(file, written ? linkWhy : why);
        return false;
    }
    return true;
}

} // namespace

QByteArray pbkdf2Sha256(const QByteArray& password, const QByteArray& salt, int iterations,
                        int length)
{
    QByteArray key(length, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.constData()),
                          int(salt.size()), iterations, EVP_sha256(), length,
                          reinterpret_cast<unsigned char*>(key.data())) != 1)
        return {}; // matches no stored hash
    return key;
}

QByteArray hmacSha256(const QByteArray& key, const QByteArray& data)
{
    QByteArray mac(32, Qt::Uninitialized);
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.constData(), int(key.size()),
              reinterpret_cast<const unsigned char*>(data.constData()), std::size_t(data.size()),
              reinterpret_cast<unsigned char*>(mac.data()), &length))
        return {};
    mac.truncate(int(length));
    return mac;
}

bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), a.size()) == 0;
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), count) != 1)
        qFatal("no random bytes from OpenSSL"); // nothing secret can be made without them
    return bytes;
}

bool loadServerKey(const QString& file, QByteArray* key, QString* error)
{
    const QByteArray path = QFile::encodeName(file);
    struct stat info {
    };
    if (::stat(path.constData(), &info) != 0) {
        if (errno != ENOENT) {
            *error = QStringLiteral("cannot read the server key %1: %2").arg(file, systemError());
            return false;
        }
        if (!makeKey(file, error))
            return false;
        if (::stat(path.constData(), &info) != 0) {
            *error = QStringLiteral("cannot read the server key %1: %2").arg(file, systemError());
            return false;
        }
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        *error = QStringLiteral("the server key %1 can be read by others than its owner; chmod "
                                "600 it (or 400)")
                     .arg(file);
        return false;
    }
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the server key %1: %2").arg(file, f.errorString());
        return false;
    }
    const QByteArray hex = f.read(4 * kServerKeyBytes).trimmed();
    const QByteArray bytes = QByteArray::fromHex(hex);
    if (hex.size() != 2 * kServerKeyBytes || bytes.toHex() != hex.toLower()) {
        *error = QStringLiteral("%1 is no server key, which is %2 hex digits on one line")
                     .arg(file)
                     .arg(2 * kServerKeyBytes);
        return false;
    }
    *key = bytes;
    return true;
}

} // namespace wispline::server::crypto
