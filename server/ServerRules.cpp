#include "ServerRules.h"

#include "link/Ansi.h"

#include <QStringList>

namespace wispline::server
{

QString normalizeUserName(const QString& name)
{
    return wispline::ansi::upper(name.trimmed());
}

bool isValidUserName(const QString& name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok =
            (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '.' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

QString passwordProblem(const QString& password)
{
    if (password.trimmed().isEmpty())
        return QStringLiteral("The new password cannot be blank.");
    if (password.size() > kMaxPasswordLength)
        return QStringLiteral("The new password is longer than %1 characters.")
            .arg(kMaxPasswordLength);
    for (const QChar c : password) {
        char byte = 0;
        if (c.unicode() < 0x20 || c.unicode() == 0x7f ||
            !wispline::ansi::toByte(c.unicode(), byte) || c == QLatin1Char(kSeparator) ||
            c == QLatin1Char(kTerminator))
            return QStringLiteral("The new password holds a character that is not allowed.");
    }
    return {};
}

bool isValidLevel(int level)
{
    return level >= 1 && level <= 3;
}

bool parseVersion(const QString& text, QList<int>* parts)
{
    const QStringList pieces = text.trimmed().split(QLatin1Char('.'));
    if (pieces.isEmpty() || pieces.size() > 3)
        return false;
    QList<int> values;
    for (const QString& piece : pieces) {
        if (piece.isEmpty() || piece.size() > 6)
            return false;
        for (const QChar c : piece) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        values.append(piece.toInt());
    }
    while (values.size() < 3)
        values.append(0);
    if (parts)
        *parts = values;
    return true;
}

int compareVersions(const QString& a, const QString& b)
{
    QList<int> pa;
    QList<int> pb;
    const bool okA = parseVersion(a, &pa);
    const bool okB = parseVersion(b, &pb);
    if (!okA || !okB)
        return okA == okB ? 0 : (okA ? 1 : -1);
    for (int i = 0; i < 3; ++i) {
        if (pa[i] != pb[i])
            return pa[i] < pb[i] ? -1 : 1;
    }
    return 0;
}

QByteArray addressOf(const QByteArray& name, int level)
{
    return name + QByteArray::number(level);
}

bool splitAddress(const QByteArray& address, QByteArray* name, int* level)
{
    const QByteArray trimmed = address.trimmed();
    if (trimmed.size() < 2)
        return false;
    const char digit = trimmed.back();
    if (digit < '1' || digit > '3')
        return false;
    *name = trimmed.left(trimmed.size() - 1).toUpper();
    *level = digit - '0';
    return true;
}

QByteArray frame(const QList<QByteArray>& fields)
{
    QByteArray out;
    qsizetype size = 9;
    for (const QByteArray& f : fields)
        size += f.size() + 1;
    out.reserve(size);
    for (const QByteArray& f : fields) {
        out += f;
        out += kSeparator;
    }
    out += "ExitEnd";
    out += kTerminator;
    return out;
}

QByteArray sanitizeField(QByteArray text)
{
    text.replace(kSeparator, '-');
    text.replace(kTerminator, '\'');
    return text;
}

QByteArray displayText(const QByteArray& sender, const QByteArray& body, const QByteArray& time)
{
    QByteArray out;
    out.reserve(sender.size() + body.size() + time.size() + 8);
    out += sender;
    out += " <- ";
    out += body;
    out += " [";
    out += time;
    out += ']';
    return out;
}

QString dayLine(const QString& time, const QString& sender, const QString& recipient,
                const QString& body)
{
    return time + QLatin1Char(' ') + sender + QStringLiteral(" -> ") + recipient +
           QStringLiteral(" : ") + body;
}

} // namespace wispline::server
