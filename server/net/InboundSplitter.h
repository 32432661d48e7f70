#pragma once
// Cuts the byte stream of one client connection into messages. Clients send one message per
// write, with no terminator, so the known field count of each command word tells where one
// message ends and the next begins. The last field has no end mark: a message is complete at
// once only when its last field is a destination code; otherwise when the next command word
// follows it, or when no further byte has come for a short while (settle()), since TCP may cut a
// message anywhere. A message whose last field could still grow into a destination code (empty,
// or a proper prefix of one) waits past the settle time: for the rest, for the next command
// word, or for the end of the connection (finish()).
#include <QByteArray>
#include <QList>

namespace wispline::server
{

// Field count of a client command word ("LIU" 5, "HND" 3, "LOU" 2, "SND" 5, "ALLMsgs" 4,
// "CHPASS" 4), or 0 for anything else.
int clientFieldCount(const QByteArray& word);

struct InboundPiece {
    enum Kind {
        Message,       // a known command with its exact field count
        BadFieldCount, // a known command word with too few or too many fields
        Garbage,       // bytes that do not begin with a known command word
        Overflow       // an unfinished message grew beyond the buffer limit and was dropped
    };
    Kind kind = Message;
    QByteArray text;
};

class InboundSplitter
{
public:
    explicit InboundSplitter(qsizetype limit = 64 * 1024) : limit_(limit) {}

    // Adds one read and appends every piece it completes to out, in order.
    void feed(const QByteArray& chunk, QList<InboundPiece>& out);
    // No byte came for the settle time: a message whose fields have all arrived is taken as it
    // stands, and an unfinished one is ended by a next read that starts with a command word.
    void settle(QList<InboundPiece>& out);
    // Nothing more will come (the connection ended, or waited too long): every message whose
    // fields have all arrived is taken as it stands.
    void finish(QList<InboundPiece>& out);

    qsizetype pendingSize() const { return pending_.size(); }
    qsizetype limit() const { return limit_; }

private:
    void split(QList<InboundPiece>& out, bool settled, bool finished = false);

    QByteArray pending_;
    bool stale_ = false; // what is pending has been there for the settle time
    qsizetype limit_;
};

} // namespace wispline::server
