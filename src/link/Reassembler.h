#pragma once
// Turns the server's byte stream into recognised messages.
#include "link/WireProtocol.h"

#include <QByteArray>
#include <vector>

namespace wispline::wire
{

// Each chunk is appended to the unfinished text of the previous chunks and cut at every
// terminator. Complete elements that are recognised are handed out in order; complete elements
// that are not recognised can never become valid and are dropped; empty elements are skipped.
// The text after the last terminator is tested once at the end of the chunk: if it is already
// recognised (trailer present, or HND) it is handed out after the chunk's other messages,
// otherwise it is kept for the next chunk. Work per chunk is proportional to the chunk, not to
// the unfinished text.
//
// feed() settles only the two ends of a chunk (the message it completes and the unfinished text
// it leaves); the elements in between are found by takeNext() as they are taken, so a chunk of
// thousands of messages needs no list of them. Messages are handed out as received bytes that
// share the chunk (or the unfinished-text buffer) they were cut from; nothing is decoded here.
//
// feed() may be called again while the caller is still taking messages of an earlier chunk
// (a nested event loop): the new messages queue up behind the old ones.
class Reassembler
{
public:
    void feed(const QByteArray& chunk);
    bool takeNext(InboundMessage& out); // false when no recognised message is waiting
    bool hasNext() const;               // looks through the waiting chunks without taking anything
    const QByteArray& pending() const { return pending_; } // unfinished text
    void clearQueue();
    // A new connection starts with no unfinished text; messages already queued stay.
    void discardPending();

    // Unfinished text longer than this can be no real message (the server takes at most 64 KiB
    // from a client): it is dropped, and so is everything up to the next terminator.
    static constexpr qsizetype kMaxPending = 16 * 1024 * 1024;

private:
    // A fed chunk whose messages have not all been taken, in the order they are handed out.
    struct Arrived {
        // The message the chunk's first terminator completed from earlier unfinished text.
        Inbound headCommand = Inbound::None;
        QByteArray head;
        // Terminated elements still to be looked at: bytes [scanFrom, scanEnd) of the chunk, the
        // last one ending with the chunk's last terminator.
        QByteArray chunk;
        qsizetype scanFrom = 0;
        qsizetype scanEnd = 0;
        // The unterminated end of the chunk, recognised already.
        Inbound tailCommand = Inbound::None;
        QByteArray tail;
    };

    void appendPending(QByteArrayView bytes);
    Inbound recognisePending() const;
    void resetPending();
    void dropFront();

    QByteArray pending_;
    qsizetype firstSeparator_ = -1; // index of the first "~" in pending_, -1 when none seen
    bool skipping_ = false;         // the rest of an oversized element is being dropped
    // The buffer of the last message completed from pending_; reused once nobody else holds it.
    QByteArray spare_;
    std::vector<Arrived> arrived_;
    size_t head_ = 0; // first entry of arrived_ not yet used up
};

} // namespace wispline::wire
