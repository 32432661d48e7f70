#pragma once
// The text protocol between the client and the message server.
//
// Grammar (one byte per character, Windows-1252; no length prefix, no escaping):
//
//   field       = *( any byte except "~" and "`" )
//   message     = field *( "~" field )
//
//   client -> server:   message                      (exactly one socket write per message)
//   server -> client:   message "~ExitEnd" "`"        (trailer field, then the terminator)
//
//   outbound  LIU~<USER>~<password>~<version>~<adapter address>
//             HND~<sender address>~1
//             LOU~<sender address>
//             SND~<sender address>~<text>~<recipients|NOONE>~<NOONE|L2A|L3A|L2S>
//             ALLMsgs~<USER><level>~<password>~<version>
//             CHPASS~<user>~<level>~<new password>
//   inbound   LIU~x~<level>~ExitEnd     HND~...          Invalid~<reason>~ExitEnd
//             USRS~<addr>...~ExitEnd    OffL~<text>~ExitEnd   LGO~<addr>...~ExitEnd
//             CHPASS~<text>~<S?>~<new password>~ExitEnd   SND~<display text>~ExitEnd
//             SHT~<text>~ExitEnd        OtLog~<reason>~ExitEnd   Version~<reason>~ExitEnd
//             ALLM~START|MSG|END[~<text>]~ExitEnd
//
// A user address is a user name immediately followed by its level digit ("abc2").
// The sender address is UserName immediately followed by UserLevel.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

namespace wispline::wire
{

inline constexpr char kFieldSeparator = '~';
inline constexpr char kTerminator = '`';
inline const QString kTrailer = QStringLiteral("ExitEnd");

// One message split into its fields; field 0 is the command word.
using WireMessage = QStringList;

// Splits at every "~"; empty fields count; text without "~" gives one field.
WireMessage splitFields(const QString& text);

// Single-byte conversion both ways.
QByteArray toWire(const QString& text);
QString fromWire(const QByteArray& bytes);

// Outbound builders: the exact text handed to one socket write.
QString buildLogon(const QString& userName, const QString& password, const QString& version,
                   const QString& adapterAddress); // user name is upper-cased here
QString buildHandshake(const QString& senderAddress);
QString buildLogout(const QString& senderAddress);
QString buildSend(const QString& senderAddress, const QString& text, const QString& recipients,
                  const QString& destinationCode);
QString buildAllMessages(const QString& userName, const QString& userLevel, const QString& password,
                         const QString& version); // name upper-cased
QString buildChangePassword(const QString& userName, const QString& userLevel,
                            const QString& newPassword);

// Inbound catalogue, in the order the dispatcher tests it.
enum class Inbound {
    None,
    LIU,
    HND,
    Invalid,
    USRS,
    OffL,
    LGO,
    CHPASS,
    SND,
    SHT,
    OtLog,
    Version,
    ALLM
};

// The catalogue entry a split message matches: trailer required for every command but HND,
// which is recognised by field 0 alone. Comparisons are exact and case-sensitive.
Inbound recognise(const WireMessage& fields);

// The same answer as recognise(splitFields(fromWire(element))), taken from the raw bytes without
// decoding them, so unrecognised traffic costs no conversion. `commandWord` is field 0 of
// `element` (everything before its first "~", or all of it when it has none); passing it lets a
// caller that already knows where field 0 ends answer in constant time.
Inbound recogniseWire(QByteArrayView element);
Inbound recogniseWire(QByteArrayView commandWord, QByteArrayView element);

// One recognised inbound message, kept as the bytes received (without the terminator). Nothing
// is decoded until a field or the text is asked for, so taking a message costs the same whatever
// its length. The bytes may be a part of a larger buffer shared with other messages; copies of a
// message share it too.
class InboundMessage
{
public:
    InboundMessage() = default;
    // A whole element; the command is recognised from it as the reassembler would.
    explicit InboundMessage(const QByteArray& element);
    // `size` bytes of `storage` from `offset`, already recognised as `command`.
    InboundMessage(Inbound command, const QByteArray& storage, qsizetype offset, qsizetype size);

    // Same as assigning a new message, but keeps holding `storage` without touching its reference
    // count when this message already shares it: many messages cut from one chunk are taken in
    // turn into one object.
    void assign(Inbound command, const QByteArray& storage, qsizetype offset, qsizetype size)
    {
        command_ = command;
        // The same data pointer and size can only be the same shared buffer, so the bytes the
        // view reaches are identical either way.
        if (storage_.constData() != storage.constData() || storage_.size() != storage.size())
            storage_ = storage;
        offset_ = offset;
        size_ = size;
    }

    Inbound command() const { return command_; }
    QByteArrayView raw() const { return {storage_.constData() + offset_, size_}; }
    QString text() const; // the whole message decoded: command word, fields and trailer

    // Fields are numbered from 0 (the command word); the trailer is the last one. A field the
    // message does not have gives an empty result and sets *ok to false.
    qsizetype fieldCount() const;
    QByteArrayView rawField(qsizetype index, bool* ok = nullptr) const;
    QString field(qsizetype index, bool* ok = nullptr) const;
    WireMessage fields() const; // every field decoded

private:
    Inbound command_ = Inbound::None;
    QByteArray storage_;
    qsizetype offset_ = 0;
    qsizetype size_ = 0;
};

} // namespace wispline::wire
