#pragma once
// Cuts the byte stream of one client connection into messages. Clients send one message per
// write, with no terminator, so a read normally holds whole messages; when reads run together
// the known field count of each command word tells where one message ends and the next begins.
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

    qsizetype pendingSize() const { return pending_.size(); }
    qsizetype limit() const { return limit_; }

private:
    void split(QList<InboundPiece>& out);

    QByteArray pending_;
    qsizetype limit_;
};

} // namespace wispline::server
