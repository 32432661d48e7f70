#include "base/ServerRules.h"

#include "link/Ansi.h"

#include <QStringList>

#include <array>
#include <cstring>

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
    QByteArray address;
    appendAddress(&address, name, level);
    return address;
}

void appendAddress(QByteArray* out, const QByteArray& name, int level)
{
    *out += name;
    if (level >= 0 && level <= 9)
        *out += char('0' + level);
    else
        *out += QByteArray::number(level);
}

namespace
{
// The one rule for an address: trimmed, a name, then the level 1, 2 or 3. Leaves the name as it
// was written in *address.
bool takeLevel(QByteArrayView* address, int* level)
{
    *address = address->trimmed();
    if (address->size() < 2 || address->back() < '1' || address->back() > '3')
        return false;
    *level = address->back() - '0';
    address->chop(1);
    return true;
}
} // namespace

bool splitAddress(const QByteArray& address, QByteArray* name, int* level)
{
    QByteArrayView written(address);
    if (!takeLevel(&written, level))
        return false;
    *name = written.toByteArray().toUpper();
    return true;
}

bool splitAddress(QByteArrayView address, NameRoom* name, int* level)
{
    if (!takeLevel(&address, level))
        return false;
    // Only ASCII letters change case, as QByteArray::toUpper() does.
    name->resize(address.size());
    char* out = name->data();
    for (const char c : address)
        *out++ = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return true;
}

bool addressNames(QByteArrayView address, const QByteArray& name)
{
    // As splitAddress() and a comparison would, without making the name.
    int level = 0;
    if (!takeLevel(&address, &level) || address.size() != name.size())
        return false;
    for (qsizetype i = 0; i < address.size(); ++i) {
        char c = address[i];
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        if (c != name[i])
            return false;
    }
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

namespace
{
// Copies bytes into place and moves past them.
char* put(char* at, QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        std::memcpy(at, bytes.data(), std::size_t(bytes.size()));
    return at + bytes.size();
}
} // namespace

QByteArray frame(QByteArrayView command, const QByteArray& field)
{
    // Sized once and filled in place: this runs for every recipient of every message.
    constexpr QByteArrayView end("ExitEnd");
    QByteArray out(command.size() + field.size() + end.size() + 3, Qt::Uninitialized);
    char* at = put(out.data(), command);
    *at++ = kSeparator;
    at = put(at, field);
    *at++ = kSeparator;
    at = put(at, end);
    *at = kTerminator;
    return out;
}

QByteArray sanitizeField(QByteArray text)
{
    // Most texts hold neither, and stay shared rather than copied.
    if (text.contains(kSeparator))
        text.replace(kSeparator, '-');
    if (text.contains(kTerminator))
        text.replace(kTerminator, '\'');
    return text;
}

void blankControls(QByteArray& field)
{
    // 1 for the bytes that decode to a control character.
    static constexpr auto kControl = [] {
        std::array<bool, 256> table{};
        for (int b = 0; b < 0x20; ++b)
            table[std::size_t(b)] = true;
        table[0x7f] = true;
        for (int b = 0x80; b <= 0x9f; ++b)
            table[std::size_t(b)] = wispline::ansi::kHigh[b - 0x80] <= 0x9f;
        return table;
    }();
    const char* data = field.constData();
    qsizetype i = 0;
    // Every message's text passes here, and most of it is printable ASCII: eight bytes at a time
    // while none is below 0x20 or from 0x7f up; from a word that holds one, byte by byte.
    constexpr quint64 kOnes = 0x0101010101010101ull;
    constexpr quint64 kTops = 0x8080808080808080ull;
    for (; i + 8 <= field.size(); i += 8) {
        quint64 word = 0;
        std::memcpy(&word, data + i, sizeof word);
        const quint64 below = (word - 0x20 * kOnes) & ~word & kTops;
        const quint64 fromDel = ((word + kOnes) | word) & kTops;
        if (below | fromDel)
            break;
    }
    for (; i < field.size(); ++i) {
        if (kControl[static_cast<unsigned char>(data[i])]) {
            char* out = field.data(); // detaches only now, if shared
            for (qsizetype j = i; j < field.size(); ++j) {
                if (kControl[static_cast<unsigned char>(out[j])])
                    out[j] = ' ';
            }
            return;
        }
    }
}

const char* addressingProblem(int level, QByteArrayView recipients, QByteArrayView code)
{
    const bool named = recipients != "NOONE";
    if (code == "L2A" || code == "L3A") {
        if (named)
            return "names beside a group code";
        if (code == "L2A" ? level > 1 : level != 2)
            return "a group code this level is not offered";
        return nullptr;
    }
    if (code != "NOONE")
        return code == "L2S" ? "a group code no client offers" : "an unknown destination code";
    if (!named)
        return "no destination";
    // Every address is a name and the digit of the list it was picked from, all from one list.
    char digit = 0;
    int count = 0;
    qsizetype start = 0;
    while (start <= recipients.size()) {
        qsizetype end = recipients.indexOf(',', start);
        if (end < 0)
            end = recipients.size();
        if (end - start < 2)
            return "an empty or bad address";
        const char d = recipients[end - 1];
        if (d < '1' || d > '3')
            return "an empty or bad address";
        if (digit != 0 && d != digit)
            return "users of two lists";
        digit = d;
        if (++count > kMaxRecipients)
            return "too many recipients";
        start = end + 1;
    }
    if (level == 3 && count > 1 && digit != '2')
        return "several users of a list this level selects one at a time";
    return nullptr;
}

namespace
{
constexpr QByteArrayView kArrow(" <- ");
constexpr QByteArrayView kOpen(" [");

qsizetype displaySize(const QByteArray& sender, const QByteArray& body, const QByteArray& time)
{
    return sender.size() + kArrow.size() + body.size() + kOpen.size() + time.size() + 1;
}

// "SENDER <- body [time]" from at on; returns the end.
char* putDisplay(char* at, const QByteArray& sender, const QByteArray& body, const QByteArray& time)
{
    at = put(at, sender);
    at = put(at, kArrow);
    at = put(at, body);
    at = put(at, kOpen);
    at = put(at, time);
    *at++ = ']';
    return at;
}
} // namespace

QByteArray displayText(const QByteArray& sender, const QByteArray& body, const QByteArray& time)
{
    QByteArray out(displaySize(sender, body, time), Qt::Uninitialized);
    putDisplay(out.data(), sender, body, time);
    return out;
}

namespace
{
constexpr QByteArrayView kFrameEnd("ExitEnd");
} // namespace

QByteArray framedDisplay(QByteArrayView command, const QByteArray& sender, const QByteArray& body,
                         const QByteArray& time)
{
    QByteArray out(command.size() + 1 + displaySize(sender, body, time) + 1 + kFrameEnd.size() + 1,
                   Qt::Uninitialized);
    char* at = put(out.data(), command);
    *at++ = kSeparator;
    at = putDisplay(at, sender, body, time);
    *at++ = kSeparator;
    at = put(at, kFrameEnd);
    *at = kTerminator;
    return out;
}

QByteArrayView fieldOfFrame(const QByteArray& framed)
{
    // The command holds no separator, and the end is always "~ExitEnd" and the terminator.
    const qsizetype start = framed.indexOf(kSeparator) + 1;
    const qsizetype end = framed.size() - kFrameEnd.size() - 2;
    return start > 0 && end >= start ? QByteArrayView(framed).sliced(start, end - start)
                                     : QByteArrayView();
}

QList<QByteArray> splitFields(const QByteArray& message)
{
    // Counted first, so the list is made once at its size.
    const char* data = message.constData();
    const qsizetype size = message.size();
    qsizetype count = 1;
    for (const char* at = data; (at = static_cast<const char*>(
                                     std::memchr(at, kSeparator, std::size_t(data + size - at))));
         ++at)
        ++count;
    QList<QByteArray> fields;
    fields.reserve(count);
    qsizetype start = 0;
    for (;;) {
        const void* found = size > start
                                ? std::memchr(data + start, kSeparator, std::size_t(size - start))
                                : nullptr;
        const qsizetype end = found ? static_cast<const char*>(found) - data : size;
        fields.append(QByteArray(data + start, end - start));
        if (!found)
            return fields;
        start = end + 1;
    }
}

QString dayLine(const QString& time, const QString& sender, const QString& recipient,
                const QString& body)
{
    return time + QLatin1Char(' ') + sender + QStringLiteral(" -> ") + recipient +
           QStringLiteral(" : ") + body;
}

} // namespace wispline::server
