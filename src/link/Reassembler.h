#pragma once
// Turns the server's byte stream into recognised messages.
#include "link/WireProtocol.h"

#include <QByteArray>
#include <deque>

namespace wispline::wire {

// Each chunk is appended to the unfinished text of the previous chunks and cut at every
// terminator. Complete elements that are recognised are queued in order; complete elements
// that are not recognised can never become valid and are dropped; empty elements are skipped.
// The text after the last terminator is tested once at the end of the chunk: if it is already
// recognised (trailer present, or HND) it is queued at once, otherwise it is kept for the next
// chunk. Work per chunk is proportional to the chunk, not to the unfinished text.
//
// feed() may be called again while the caller is still taking messages of an earlier chunk
// (a nested event loop): the new messages queue up behind the old ones.
class Reassembler
{
public:
    void feed(const QByteArray& chunk);
    bool takeNext(InboundMessage& out); // false when no recognised message is waiting
    bool hasNext() const { return !ready_.empty(); }
    const QByteArray& pending() const { return pending_; } // unfinished text
    void clearQueue() { ready_.clear(); }

private:
    // A recognised message kept as received bytes (a slice of a shared chunk) until it is taken,
    // so a queue of many messages costs no decoding and no per-field allocations.
    struct Recognised {
        Inbound command = Inbound::None;
        QByteArray bytes;
        qsizetype offset = 0;
        qsizetype size = 0;
    };

    void completeElement(const QByteArray& source, qsizetype offset, qsizetype size,
                         qsizetype firstSeparator);
    void appendPending(QByteArrayView bytes);
    void resetPending();

    QByteArray pending_;
    qsizetype firstSeparator_ = -1; // index of the first "~" in pending_, -1 when none seen
    std::deque<Recognised> ready_;
};

} // namespace wispline::wire
