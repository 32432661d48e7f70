#include "net/InboundSplitter.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace wispline::server
{
namespace
{

struct Command {
    const char* word;
    int length;
    int fields;
};

constexpr std::array<Command, 6> kCommands{{{"LIU", 3, 5},
                                            {"HND", 3, 3},
                                            {"LOU", 3, 2},
                                            {"SND", 3, 5},
                                            {"ALLMsgs", 7, 4},
                                            {"CHPASS", 6, 4}}};

// The closed set of values of the last "SND" field: a message ending in one is complete.
constexpr const char* kDestinationCodes[] = {"NOONE", "L2A", "L3A", "L2S"};

bool isDestinationCode(const char* text, qsizetype length)
{
    for (const char* code : kDestinationCodes) {
        if (qsizetype(std::strlen(code)) == length && std::memcmp(text, code, length) == 0)
            return true;
    }
    return false;
}

// True when the text could still grow into a destination code: empty, or a proper prefix of one.
bool couldBecomeDestinationCode(const char* text, qsizetype length)
{
    for (const char* code : kDestinationCodes) {
        if (length < qsizetype(std::strlen(code)) && std::memcmp(text, code, length) == 0)
            return true;
    }
    return false;
}

// The first "~" at or after from, or -1: the search of QByteArray::indexOf() without the checks
// and calls around it, which cost more than the search itself in a short message.
qsizetype tildeFrom(const QByteArray& buf, qsizetype from)
{
    if (from < 0 || from >= buf.size())
        return -1;
    const void* at = std::memchr(buf.constData() + from, '~', std::size_t(buf.size() - from));
    return at ? static_cast<const char*>(at) - buf.constData() : -1;
}

// The command whose word followed by "~" starts at pos, or nullptr.
const Command* commandAt(const QByteArray& buf, qsizetype pos)
{
    const qsizetype left = buf.size() - pos;
    for (const Command& c : kCommands) {
        if (left > c.length && buf[pos + c.length] == '~' &&
            std::memcmp(buf.constData() + pos, c.word, c.length) == 0)
            return &c;
    }
    return nullptr;
}

// The command word that ends exactly at end (the "~" after it is at end), starting no earlier
// than from; its length, or 0.
int commandEndingAt(const QByteArray& buf, qsizetype from, qsizetype end)
{
    for (const Command& c : kCommands) {
        const qsizetype start = end - c.length;
        if (start >= from && std::memcmp(buf.constData() + start, c.word, c.length) == 0)
            return c.length;
    }
    return 0;
}

// The earliest position at or after from where a known command word followed by "~" begins.
qsizetype findCommandStart(const QByteArray& buf, qsizetype from)
{
    qsizetype tilde = tildeFrom(buf, from);
    while (tilde >= 0) {
        const int length = commandEndingAt(buf, from, tilde);
        if (length)
            return tilde - length;
        tilde = tildeFrom(buf, tilde + 1);
    }
    return -1;
}

// True when the bytes from pos could still grow into a command word followed by "~".
bool couldBecomeCommand(const QByteArray& buf, qsizetype pos)
{
    const qsizetype left = buf.size() - pos;
    for (const Command& c : kCommands) {
        if (left <= c.length && std::memcmp(buf.constData() + pos, c.word, left) == 0)
            return true;
    }
    return false;
}

// Where the trailing bytes that could still become a command word begin (at or after from);
// the end of the buffer when there are none. Garbage is dropped only up to there, so a command
// whose first bytes arrive at the end of a read is not lost with it.
qsizetype possibleCommandTail(const QByteArray& buf, qsizetype from)
{
    constexpr qsizetype kLongestWord = 7;
    for (qsizetype p = std::max(from, buf.size() - kLongestWord); p < buf.size(); ++p) {
        if (couldBecomeCommand(buf, p))
            return p;
    }
    return buf.size();
}

} // namespace

int clientFieldCount(const QByteArray& word)
{
    for (const Command& c : kCommands) {
        if (word == c.word)
            return c.fields;
    }
    return 0;
}

void InboundSplitter::feed(const QByteArray& chunk, QList<InboundPiece>& out)
{
    if (chunk.isEmpty())
        return;
    // Each client write is one message: when a new write starts with a command word while an
    // earlier message has waited the settle time for fields, that one was short and will never
    // finish. Sooner, the command word may just as well be text in the message's next field.
    // A message that waited for its destination code ends here, as it stands.
    if (stale_ && !pending_.isEmpty() && commandAt(chunk, 0))
        split(out, true, true);
    if (stale_ && !pending_.isEmpty() && commandAt(chunk, 0)) {
        out.append({commandAt(pending_, 0) ? InboundPiece::BadFieldCount : InboundPiece::Garbage,
                    pending_});
        pending_.clear();
    }
    stale_ = false;
    pending_ += chunk;
    split(out, false);
    if (pending_.size() > limit_) {
        const qsizetype keep = possibleCommandTail(pending_, 1);
        out.append({InboundPiece::Overflow, pending_.left(keep)});
        pending_.remove(0, keep);
    }
}

void InboundSplitter::settle(QList<InboundPiece>& out)
{
    split(out, true);
    stale_ = !pending_.isEmpty();
}

void InboundSplitter::finish(QList<InboundPiece>& out)
{
    split(out, true, true);
    stale_ = !pending_.isEmpty();
}

void InboundSplitter::split(QList<InboundPiece>& out, bool settled, bool finished)
{
    const QByteArray& buf = pending_;
    qsizetype pos = 0;
    while (pos < buf.size()) {
        const Command* command = commandAt(buf, pos);
        if (!command) {
            const qsizetype next = findCommandStart(buf, pos + 1);
            if (next < 0) {
                const qsizetype keep = possibleCommandTail(buf, pos);
                if (keep > pos)
                    out.append({InboundPiece::Garbage, buf.mid(pos, keep - pos)});
                pos = keep;
                break;
            }
            out.append({InboundPiece::Garbage, buf.mid(pos, next - pos)});
            pos = next;
            continue;
        }

        // The separator before the last field.
        qsizetype lastSeparator = pos + command->length;
        for (int seen = 1; seen < command->fields - 1 && lastSeparator >= 0; ++seen)
            lastSeparator = tildeFrom(buf, lastSeparator + 1);
        if (lastSeparator < 0)
            break; // the rest of this message has not arrived yet

        const qsizetype nextSeparator = tildeFrom(buf, lastSeparator + 1);
        if (nextSeparator < 0) {
            // The last field runs to the end of what has come so far. A late segment may still
            // bring the rest of a destination code.
            const bool isSend = std::strcmp(command->word, "SND") == 0;
            const char* last = buf.constData() + lastSeparator + 1;
            const qsizetype lastLength = buf.size() - lastSeparator - 1;
            const bool codeEnds = isSend && isDestinationCode(last, lastLength);
            const bool codeMayGrow =
                isSend && !codeEnds && couldBecomeDestinationCode(last, lastLength);
            if (!codeEnds && (!settled || (codeMayGrow && !finished)))
                break;
            out.append({InboundPiece::Message, buf.mid(pos)});
            pos = buf.size();
            break;
        }
        // The last field runs into the next message's command word.
        const int wordLength = commandEndingAt(buf, lastSeparator + 1, nextSeparator);
        if (wordLength) {
            const qsizetype end = nextSeparator - wordLength;
            out.append({InboundPiece::Message, buf.mid(pos, end - pos)});
            pos = end;
            continue;
        }
        // Too many fields: the bad message runs up to the next command word, if any.
        const qsizetype next = findCommandStart(buf, nextSeparator + 1);
        const qsizetype end = next < 0 ? buf.size() : next;
        out.append({InboundPiece::BadFieldCount, buf.mid(pos, end - pos)});
        pos = end;
    }
    // An emptied buffer is let go: a connection that waits between messages holds nothing.
    if (pos == pending_.size())
        pending_.clear();
    else
        pending_.remove(0, pos);
}

} // namespace wispline::server
