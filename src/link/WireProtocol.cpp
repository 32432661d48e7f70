#include "link/WireProtocol.h"

#include <QLatin1String>
#include <QVarLengthArray>
#include <cstring>

namespace wispline::wire
{

namespace
{

struct CatalogueEntry {
    QLatin1String word;
    Inbound command;
};

// Inbound command words in the order the dispatcher tests them; the first match wins.
const CatalogueEntry kCatalogue[] = {
    {QLatin1String("LIU"), Inbound::LIU},         {QLatin1String("HND"), Inbound::HND},
    {QLatin1String("Invalid"), Inbound::Invalid}, {QLatin1String("USRS"), Inbound::USRS},
    {QLatin1String("OffL"), Inbound::OffL},       {QLatin1String("LGO"), Inbound::LGO},
    {QLatin1String("CHPASS"), Inbound::CHPASS},   {QLatin1String("SND"), Inbound::SND},
    {QLatin1String("SHT"), Inbound::SHT},         {QLatin1String("OtLog"), Inbound::OtLog},
    {QLatin1String("Version"), Inbound::Version}, {QLatin1String("ALLM"), Inbound::ALLM},
};

// Called for every element received, so the length and first byte settle most words before
// any byte-by-byte comparison.
Inbound commandFor(QByteArrayView word)
{
    for (const auto& entry : kCatalogue) {
        if (word.size() == entry.word.size() && word.front() == entry.word.front() &&
            std::memcmp(word.data(), entry.word.data(), size_t(word.size())) == 0)
            return entry.command;
    }
    return Inbound::None;
}

Inbound commandFor(const QString& word)
{
    for (const auto& entry : kCatalogue) {
        if (word == entry.word)
            return entry.command;
    }
    return Inbound::None;
}

// The last field is exactly the trailer: either the whole element, or what follows its last "~".
bool endsWithTrailer(QByteArrayView element)
{
    constexpr char kSeparatedTrailer[] = "~ExitEnd";
    constexpr qsizetype kSeparatedSize = qsizetype(sizeof(kSeparatedTrailer)) - 1;
    if (element.size() == kSeparatedSize - 1)
        return std::memcmp(element.data(), kSeparatedTrailer + 1, size_t(kSeparatedSize - 1)) == 0;
    return element.size() >= kSeparatedSize &&
           std::memcmp(element.data() + element.size() - kSeparatedSize, kSeparatedTrailer,
                       size_t(kSeparatedSize)) == 0;
}

// Upper-cases one character at a time and keeps a character whose capital has no single-byte
// form ("ß", "ÿ", "µ"): a full Unicode mapping would lengthen the name or turn it into "?" on
// the wire.
QString upperForWire(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        const QChar upper = c.toUpper();
        if (upper.unicode() <= 0xFF || c.unicode() > 0xFF)
            c = upper;
    }
    return out;
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
    return text.toLatin1();
}

QString fromWire(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes);
}

QString buildLogon(const QString& userName, const QString& password, const QString& version,
                   const QString& adapterAddress)
{
    return join({QStringLiteral("LIU"), upperForWire(userName), password, version, adapterAddress});
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
    return join({QStringLiteral("ALLMsgs"), upperForWire(userName) + userLevel, password, version});
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
    const qsizetype separator = element.indexOf(kFieldSeparator);
    return recogniseWire(separator < 0 ? element : element.first(separator), element);
}

Inbound recogniseWire(QByteArrayView commandWord, QByteArrayView element)
{
    const Inbound command = commandFor(commandWord);
    if (command == Inbound::None || command == Inbound::HND)
        return command;
    return endsWithTrailer(element) ? command : Inbound::None;
}

} // namespace wispline::wire
