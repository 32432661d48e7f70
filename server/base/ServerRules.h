#pragma once
// Small rules shared by the server, its admin commands and its tools: account names, passwords,
// versions, user addresses and the framing of server-to-client messages.
#include "link/Ansi.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVarLengthArray>

namespace wispline::server
{

inline constexpr char kSeparator = '~';
inline constexpr char kTerminator = '`';
inline constexpr int kMaxNameLength = 32;
inline constexpr int kMaxPasswordLength = 64;
// The longest message body taken, in characters (a byte each on the wire). The client's compose
// box holds 1,000; four times that leaves room for a longer box, or markup, in a later client,
// while a body near the 64 KB frame limit, which the store would keep once per recipient, is
// refused.
inline constexpr int kMaxBodyLength = 4096;

// Wire bytes as stored text and back: one byte per character in the clients' code page.
inline QString fromWire(QByteArrayView bytes)
{
    return wispline::ansi::decode(bytes);
}
inline QByteArray toWire(const QString& text)
{
    return wispline::ansi::encode(text);
}

// Upper-cases and trims a user name; the result may still be invalid.
QString normalizeUserName(const QString& name);
// Upper case letters, digits, "_", "." and "-"; 1 to kMaxNameLength characters.
bool isValidUserName(const QString& name);
// Why a password cannot be stored, or an empty text when it can. A password travels as a field
// and is echoed back to the client, so the framing characters, control characters and characters
// the wire's code page cannot carry are refused.
QString passwordProblem(const QString& password);

bool isValidLevel(int level);

// "X.Y.Z" (one to three decimal parts). Missing parts count as 0; returns false on anything else.
bool parseVersion(const QString& text, QList<int>* parts);
// -1, 0 or 1; a text that does not parse counts as older than every valid version.
int compareVersions(const QString& a, const QString& b);

// A user address is the name immediately followed by the level digit.
QByteArray addressOf(const QByteArray& name, int level);
// The same, added to the end of out: a list of many addresses is built without one apiece.
void appendAddress(QByteArray* out, const QByteArray& name, int level);
// Splits an address into its name (upper-cased) and level; false when the last character is
// not 1, 2 or 3 or the name is empty.
bool splitAddress(const QByteArray& address, QByteArray* name, int* level);
// The same, the name written into room the caller keeps: a recipient's name is looked up for
// every message, and a name of up to 64 bytes is made without allocating.
using NameRoom = QVarLengthArray<char, 64>;
bool splitAddress(QByteArrayView address, NameRoom* name, int* level);
// True when splitAddress() takes address apart and its name is name.
bool addressNames(QByteArrayView address, const QByteArray& name);

// A server-to-client message: fields joined by "~", then "~ExitEnd" and the terminator.
QByteArray frame(const QList<QByteArray>& fields);
// The same for a command and one field, without the list (a message to each recipient).
QByteArray frame(QByteArrayView command, const QByteArray& field);
// A client's message split at each "~", as QByteArray::split() does.
QList<QByteArray> splitFields(const QByteArray& message);
// A field is never allowed to carry the framing characters; they are replaced by harmless ones.
QByteArray sanitizeField(QByteArray text);

// Control characters (C0, DEL and the C1 controls the code page maps its undefined bytes to)
// become spaces, in place: a line feed in a text would forge lines in the message area, the
// day's messages and the log, and a NUL breaks statements. Allocates only when one is found in
// a shared array.
void blankControls(QByteArray& field);

// Why a user of this level could not have addressed a message this way from the client, or
// nullptr when it could. A user of level 1 (or 0) picks users of one list, or all Level 2
// users; one of level 2 picks users of one list, or all Level 3 users; one of level 3 sees only
// the Level 1 list, where one user at a time is selected, and the Level 2 list; a reply picks
// one user of any list. Recipients never come from two lists at once, a group code never comes
// with names, and no client offers "L2S".
inline constexpr int kMaxRecipients = 1000;
const char* addressingProblem(int level, QByteArrayView recipients, QByteArrayView code);

// "SENDER <- body [HH:mm:ss]": the client cuts the body out between "<" and "[".
QByteArray displayText(const QByteArray& sender, const QByteArray& body, const QByteArray& time);
// frame(command, displayText(sender, body, time)) made at once, in one allocation.
QByteArray framedDisplay(QByteArrayView command, const QByteArray& sender, const QByteArray& body,
                         const QByteArray& time);
// The one field of frame(command, field), in place: the display text of a framed message.
QByteArrayView fieldOfFrame(const QByteArray& framed);
// One line of the day's messages: "HH:mm:ss SENDER -> RECIPIENT : body".
QString dayLine(const QString& time, const QString& sender, const QString& recipient,
                const QString& body);

} // namespace wispline::server
