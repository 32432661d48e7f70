#pragma once
// The Western single-byte code page used on the wire and in the day log (Windows-1252):
// Latin-1 plus printable characters at 0x80-0x9F. One byte per character both ways.
// Header-only so that the reference server speaks exactly the same page.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace wispline::ansi
{

// 0x80-0x9F. The five bytes the page leaves undefined map to the C1 control of the same
// value, so every byte survives a round trip.
inline constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

inline constexpr char kUnmappable = '?';

inline QChar toChar(unsigned char byte)
{
    return (byte >= 0x80 && byte <= 0x9F) ? QChar(kHigh[byte - 0x80]) : QChar(byte);
}

// The byte for one UTF-16 code unit; false when the page has none for it.
inline bool toByte(char16_t c, char& out)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        out = char(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHigh[i] == c) {
            out = char(0x80 + i);
            return true;
        }
    }
    return false;
}

inline QString decode(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char b : bytes)
        *out++ = toChar(static_cast<unsigned char>(b));
    return text;
}

// Characters the page cannot hold become "?" (a surrogate pair becomes one "?").
inline QByteArray encode(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        char b;
        if (toByte(c, b)) {
            bytes.append(b);
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i;
        bytes.append(kUnmappable);
    }
    return bytes;
}

// What the text looks like after a trip through the page: what the far end and the log see.
inline QString roundTrip(QStringView text)
{
    return decode(encode(text));
}

// Upper-cases one character at a time, keeping a character whose capital is not a Latin-1
// character of its own ("ß", "ÿ" and "µ" stay as they are): one byte per character.
inline QString upper(QStringView text)
{
    QString result = text.toString();
    for (QChar& c : result) {
        const QChar capital = c.toUpper();
        if (capital.unicode() <= 0xFF || c.unicode() > 0xFF)
            c = capital;
    }
    return result;
}

} // namespace wispline::ansi
