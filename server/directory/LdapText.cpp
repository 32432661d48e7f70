#include "directory/LdapText.h"

namespace wispline::server::ldaptext
{
namespace
{

void appendHex(QByteArray& out, unsigned char byte)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '\\';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

bool isControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

QByteArray escapeDnValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 2);
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (isControl(byte)) {
            appendHex(out, byte);
            continue;
        }
        const bool special = byte == '"' || byte == '+' || byte == ',' || byte == ';' ||
                             byte == '<' || byte == '>' || byte == '=' || byte == '\\';
        const bool atStart = i == 0 && (byte == '#' || byte == ' ');
        const bool atEnd = i == utf8.size() - 1 && byte == ' ';
        if (special || atStart || atEnd)
            out += '\\';
        out += char(byte);
    }
    return out;
}

QByteArray escapeFilterValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControl(byte) || byte == '*' || byte == '(' || byte == ')' || byte == '\\')
            appendHex(out, byte);
        else
            out += c;
    }
    return out;
}

bool expand(const QString& pattern, const QList<Placeholder>& values, Escape escape,
            QByteArray* out, QString* problem)
{
    const auto fail = [problem](const QString& why) {
        if (problem)
            *problem = why;
        return false;
    };
    QByteArray result;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const qsizetype percent = pattern.indexOf(QLatin1Char('%'), i);
        const qsizetype end = percent < 0 ? pattern.size() : percent;
        result += pattern.mid(i, end - i).toUtf8(); // whole, so pairs of surrogates stay pairs
        if (percent < 0)
            break;
        i = percent;
        if (++i == pattern.size())
            return fail(QStringLiteral("a '%' ends it (write %% for a '%')"));
        const QChar letter = pattern[i];
        if (letter == QLatin1Char('%')) {
            result += '%';
            continue;
        }
        bool found = false;
        for (const Placeholder& p : values) {
            if (letter == QLatin1Char(p.letter)) {
                result +=
                    escape == Escape::DnValue ? escapeDnValue(p.value) : escapeFilterValue(p.value);
                found = true;
                break;
            }
        }
        if (!found)
            return fail(QStringLiteral("%%1 stands for nothing here").arg(letter));
    }
    *out = result;
    return true;
}

} // namespace wispline::server::ldaptext
