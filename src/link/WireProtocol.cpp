#include "link/WireProtocol.h"

#include "link/Ansi.h"

#include <QLatin1String>
#include <QVarLengthArray>
#include <QtEndian>
#include <cstring>

namespace wispline::wire
{

namespace
{

constexpr qsizetype kLongestWord = 7; // "Invalid", "Version"

template <size_t N> bool sameWord(const char* data, const char (&word)[N])
{
    return std::memcmp(data, word, N - 1) == 0;
}

// Called for every element received: the length picks the few words to compare, and each
// comparison is of a fixed size the compiler turns into a couple of loads. The words are all
// different, so the order of the tests does not change the answer.
Q_ALWAYS_INLINE Inbound commandFor(QByteArrayView word)
{
    const char* const w = word.data();
    switch (word.size()) {
    case 3:
        if (sameWord(w, "SND"))
            return Inbound::SND;
        if (sameWord(w, "LIU"))
            return Inbound::LIU;
        if (sameWord(w, "HND"))
            return Inbound::HND;
        if (sameWord(w, "LGO"))
            return Inbound::LGO;
        if (sameWord(w, "SHT"))
            return Inbound::SHT;
        break;
    case 4:
        if (sameWord(w, "ALLM"))
            return Inbound::ALLM;
        if (sameWord(w, "USRS"))
            return Inbound::USRS;
        if (sameWord(w, "OffL"))
            return Inbound::OffL;
        break;
    case 5:
        if (sameWord(w, "OtLog"))
            return Inbound::OtLog;
        break;
    case 6:
        if (sameWord(w, "CHPASS"))
            return Inbound::CHPASS;
        break;
    case 7:
        if (sameWord(w, "Invalid"))
            return Inbound::Invalid;
        if (sameWord(w, "Version"))
            return Inbound::Version;
        break;
    default:
        break;
    }
    return Inbound::None;
}

Inbound commandFor(const QString& word)
{
    // Every command word is short and plain ASCII, so anything else cannot match.
    if (word.size() > kLongestWord)
        return Inbound::None;
    char bytes[kLongestWord];
    for (qsizetype i = 0; i < word.size(); ++i) {
        const char16_t c = word.at(i).unicode();
        if (c > 0x7F)
            return Inbound::None;
        bytes[i] = char(c);
    }
    return commandFor(QByteArrayView(bytes, word.size()));
}

// The last field is exactly the trailer: either the whole element, or what follows its last "~".
Q_ALWAYS_INLINE bool endsWithTrailer(QByteArrayView element)
{
    constexpr char kSeparatedTrailer[] = "~ExitEnd";
    constexpr qsizetype kSeparatedSize = qsizetype(sizeof(kSeparatedTrailer)) - 1;
    if (element.size() == kSeparatedSize - 1)
        return std::memcmp(element.data(), kSeparatedTrailer + 1, size_t(kSeparatedSize - 1)) == 0;
    return element.size() >= kSeparatedSize &&
           std::memcmp(element.data() + element.size() - kSeparatedSize, kSeparatedTrailer,
                       size_t(kSeparatedSize)) == 0;
}

Q_ALWAYS_INLINE Inbound recogniseWords(QByteArrayView commandWord, QByteArrayView element)
{
    const Inbound command = commandFor(commandWord);
    if (command == Inbound::None || command == Inbound::HND)
        return command;
    return endsWithTrailer(element) ? command : Inbound::None;
}

QString join(std::initializer_list<QString> fields)
{
    qsizetype size = qsizetype(fields.size()) - 1;
    for (const auto& f : fields)
        size += f.size();
    QString out;
    out.reserve(size);
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it != fields.begin())
            out += QLatin1Char(kFieldSeparator);
        out += *it;
    }
    return out;
}

} // namespace

WireMessage splitFields(const QString& text)
{
    // Find the separators first so the list is allocated once, at its final size.
    const QStringView view(text);
    QVarLengthArray<qsizetype, 32> separators;
    for (qsizetype at = view.indexOf(QLatin1Char(kFieldSeparator)); at >= 0;
         at = view.indexOf(QLatin1Char(kFieldSeparator), at + 1))
        separators.append(at);
    WireMessage fields;
    fields.reserve(separators.size() + 1);
    qsizetype from = 0;
    for (const qsizetype at : separators) {
        fields.append(view.sliced(from, at - from).toString());
        from = at + 1;
    }
    fields.append(view.sliced(from).toString());
    return fields;
}

QByteArray toWire(const QString& text)
{
    return ansi::encode(text);
}

QString fromWire(const QByteArray& bytes)
{
    return ansi::decode(bytes);
}

QString buildLogon(const QString& userName, const QString& password, const QString& version,
                   const QString& adapterAddress)
{
    return join({QStringLiteral("LIU"), ansi::upper(userName), password, version, adapterAddress});
}

QString buildHandshake(const QString& senderAddress)
{
    return join({QStringLiteral("HND"), senderAddress, QStringLiteral("1")});
}

QString buildLogout(const QString& senderAddress)
{
    return join({QStringLiteral("LOU"), senderAddress});
}

QString buildSend(const QString& senderAddress, const QString& text, const QString& recipients,
                  const QString& destinationCode)
{
    return join({QStringLiteral("SND"), senderAddress, text, recipients, destinationCode});
}

QString buildAllMessages(const QString& userName, const QString& userLevel, const QString& password,
                         const QString& version)
{
    return join({QStringLiteral("ALLMsgs"), ansi::upper(userName) + userLevel, password, version});
}

QString buildChangePassword(const QString& userName, const QString& userLevel,
                            const QString& newPassword)
{
    return join({QStringLiteral("CHPASS"), userName, userLevel, newPassword});
}

Inbound recognise(const WireMessage& fields)
{
    if (fields.isEmpty())
        return Inbound::None;
    const Inbound command = commandFor(fields.first());
    if (command == Inbound::None || command == Inbound::HND)
        return command;
    return fields.last() == kTrailer ? command : Inbound::None;
}

Inbound recogniseWire(QByteArrayView element)
{
    // A first separator further in than the longest command word cannot start a catalogue
    // message, so only the first eight bytes are looked at, all at once when there are eight.
    static_assert(kLongestWord + 1 == sizeof(quint64));
    if (element.size() >= qsizetype(sizeof(quint64))) {
        constexpr quint64 kOnes = 0x0101010101010101ULL;
        const quint64 x = qFromLittleEndian<quint64>(element.data()) ^ (kOnes * kFieldSeparator);
        // High bit set in each byte that was a separator (and possibly in bytes after the first
        // one, which do not matter).
        const quint64 separators = (x - kOnes) & ~x & (kOnes * 0x80);
        if (separators == 0)
            return Inbound::None;
        return recogniseWords(element.first(qCountTrailingZeroBits(separators) / 8), element);
    }
    for (qsizetype at = 0; at < element.size(); ++at) {
        if (element[at] == kFieldSeparator)
            return recogniseWords(element.first(at), element);
    }
    return recogniseWords(element, element);
}

Inbound recogniseWire(QByteArrayView commandWord, QByteArrayView element)
{
    return recogniseWords(commandWord, element);
}

InboundMessage::InboundMessage(const QByteArray& element)
    : command_(recogniseWire(element)), storage_(element), size_(element.size())
{
}

InboundMessage::InboundMessage(Inbound command, const QByteArray& storage, qsizetype offset,
                               qsizetype size)
    : command_(command), storage_(storage), offset_(offset), size_(size)
{
}

QString InboundMessage::text() const
{
    return ansi::decode(QByteArrayView(storage_.constData() + offset_, size_));
}

qsizetype InboundMessage::fieldCount() const
{
    const char* at = storage_.constData() + offset_;
    const char* const end = at + size_;
    qsizetype count = 1;
    while (at < end) {
        const void* hit = std::memchr(at, kFieldSeparator, size_t(end - at));
        if (!hit)
            break;
        ++count;
        at = static_cast<const char*>(hit) + 1;
    }
    return count;
}

QByteArrayView InboundMessage::rawField(qsizetype index, bool* ok) const
{
    // Only the fields up to the one asked for are looked at.
    const char* from = storage_.constData() + offset_;
    const char* const end = from + size_;
    for (qsizetype i = 0; index >= 0; ++i) {
        const void* hit = std::memchr(from, kFieldSeparator, size_t(end - from));
        const char* const to = hit ? static_cast<const char*>(hit) : end;
        if (i == index) {
            if (ok)
                *ok = true;
            return {from, to - from};
        }
        if (!hit)
            break;
        from = to + 1;
    }
    if (ok)
        *ok = false;
    return {};
}

QString InboundMessage::field(qsizetype index, bool* ok) const
{
    const QByteArrayView bytes = rawField(index, ok);
    return ansi::decode(bytes);
}

WireMessage InboundMessage::fields() const
{
    return splitFields(text());
}

} // namespace wispline::wire
