#include "link/Reassembler.h"

#include <cstring>

namespace wispline::wire
{

namespace
{

// The unfinished text keeps its buffer between messages, so a message split over chunks costs
// no allocation. A buffer grown beyond this by a long message is kept only while the messages
// put together in it fill at least a quarter of it: a run of long messages reuses it, and a
// short message put together in it gives it back.
constexpr qsizetype kKeptCapacity = 64 * 1024;

bool worthKeeping(const QByteArray& buffer)
{
    return buffer.capacity() <= kKeptCapacity || buffer.size() >= buffer.capacity() / 4;
}

// Used-up entries are dropped from the front of a queue that is never emptied (feeds from nested
// event loops keep it going) once they are this many and at least half of it.
constexpr size_t kCompactAfter = 64;

const char* findByte(const char* from, const char* end, char byte)
{
    if (from >= end)
        return nullptr;
    return static_cast<const char*>(std::memchr(from, byte, size_t(end - from)));
}

const char* findLastByte(const char* from, const char* end, char byte)
{
    if (from >= end)
        return nullptr;
#ifdef __GLIBC__
    return static_cast<const char*>(memrchr(from, byte, size_t(end - from)));
#else
    while (end > from) {
        if (*--end == byte)
            return end;
    }
    return nullptr;
#endif
}

} // namespace

void Reassembler::feed(const QByteArray& chunk)
{
    const char* const first =
        findByte(chunk.constData(), chunk.constData() + chunk.size(), kTerminator);
    Arrived arrived;
    if (first) {
        // A private reference keeps the bytes stable (even if the caller hands in pending()) and
        // lets messages point into the chunk instead of copying it.
        arrived.chunk = chunk;
        const char* const data = arrived.chunk.constData();
        const char* const end = data + arrived.chunk.size();
        const char* const last = findLastByte(first, end, kTerminator);
        arrived.scanFrom = 0;
        arrived.scanEnd = last + 1 - data;
        if (skipping_) {
            // The first terminator ends the oversized element: nothing of it is kept.
            skipping_ = false;
            arrived.scanFrom = first + 1 - data;
        } else if (!pending_.isEmpty()) {
            // The first element finishes the unfinished text; a terminated element is final, so
            // one that is not a catalogue message now never will be and is dropped instead of
            // being glued in front of the next message.
            appendPending(QByteArrayView(data, first - data));
            arrived.headCommand = recognisePending();
            if (arrived.headCommand != Inbound::None)
                arrived.head = pending_;
            resetPending();
            skipping_ = false;
            arrived.scanFrom = first + 1 - data;
        }
        appendPending(QByteArrayView(last + 1, end - last - 1));
    } else {
        // Appending copes with the chunk being pending() itself.
        appendPending(chunk);
    }

    // The unterminated tail is tested once per chunk: a message whose trailer (or, for HND, whose
    // command word) is already here is handled now rather than waiting for its terminator.
    if (!pending_.isEmpty()) {
        arrived.tailCommand = recognisePending();
        if (arrived.tailCommand != Inbound::None) {
            arrived.tail = pending_;
            resetPending();
        }
    }

    if (arrived.headCommand != Inbound::None || arrived.scanFrom < arrived.scanEnd ||
        arrived.tailCommand != Inbound::None)
        arrived_.push_back(std::move(arrived));
}

bool Reassembler::takeNext(InboundMessage& out)
{
    while (head_ < arrived_.size()) {
        Arrived& arrived = arrived_[head_];
        if (arrived.headCommand != Inbound::None) {
            out.assign(arrived.headCommand, arrived.head, 0, arrived.head.size());
            arrived.headCommand = Inbound::None;
            arrived.head = QByteArray();
            return true;
        }
        const char* const data = arrived.chunk.constData();
        qsizetype from = arrived.scanFrom;
        while (from < arrived.scanEnd) {
            // The scanned range ends with a terminator, so there always is one.
            const char* const terminator =
                findByte(data + from, data + arrived.scanEnd, kTerminator);
            const qsizetype at = from;
            const qsizetype size = terminator - (data + at);
            from = at + size + 1;
            if (size == 0)
                continue;
            const Inbound command = recogniseWire(QByteArrayView(data + at, size));
            if (command != Inbound::None) {
                arrived.scanFrom = from;
                out.assign(command, arrived.chunk, at, size);
                return true;
            }
        }
        arrived.scanFrom = from;
        if (arrived.tailCommand != Inbound::None) {
            out.assign(arrived.tailCommand, arrived.tail, 0, arrived.tail.size());
            dropFront();
            return true;
        }
        dropFront();
    }
    return false;
}

bool Reassembler::hasNext() const
{
    for (size_t i = head_; i < arrived_.size(); ++i) {
        const Arrived& arrived = arrived_[i];
        if (arrived.headCommand != Inbound::None || arrived.tailCommand != Inbound::None)
            return true;
        const char* const data = arrived.chunk.constData();
        const char* const end = data + arrived.scanEnd;
        for (const char* from = data + arrived.scanFrom; from < end;) {
            const char* const terminator = findByte(from, end, kTerminator);
            if (terminator > from &&
                recogniseWire(QByteArrayView(from, terminator - from)) != Inbound::None)
                return true;
            from = terminator + 1;
        }
    }
    return false;
}

void Reassembler::clearQueue()
{
    // The vector keeps its capacity: the next chunk queues without allocating.
    arrived_.clear();
    head_ = 0;
}

void Reassembler::dropFront()
{
    arrived_[head_++] = Arrived();
    if (head_ == arrived_.size()) {
        clearQueue();
    } else if (head_ >= kCompactAfter && head_ * 2 >= arrived_.size()) {
        arrived_.erase(arrived_.begin(), arrived_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
    }
}

void Reassembler::discardPending()
{
    resetPending();
    skipping_ = false;
}

void Reassembler::appendPending(QByteArrayView bytes)
{
    if (bytes.isEmpty() || skipping_)
        return;
    if (pending_.size() + bytes.size() > kMaxPending) {
        pending_ = QByteArray();
        spare_ = QByteArray();
        firstSeparator_ = -1;
        skipping_ = true;
        return;
    }
    // Only the new bytes are searched, so a long message arriving in small pieces stays linear.
    if (firstSeparator_ < 0) {
        const char* const at = findByte(bytes.data(), bytes.data() + bytes.size(), kFieldSeparator);
        if (at)
            firstSeparator_ = pending_.size() + (at - bytes.data());
    }
    pending_.append(bytes.data(), bytes.size());
}

Inbound Reassembler::recognisePending() const
{
    const QByteArrayView text(pending_);
    return recogniseWire(firstSeparator_ < 0 ? text : text.first(firstSeparator_), text);
}

void Reassembler::resetPending()
{
    firstSeparator_ = -1;
    if (pending_.isDetached()) {
        if (worthKeeping(pending_))
            pending_.resize(0);
        else
            pending_ = QByteArray();
        return;
    }
    // A message shares the buffer, so it is handed over. The buffer handed over last time is
    // taken back if every message cut from it has been let go.
    QByteArray handedOver = std::move(pending_);
    pending_ = QByteArray();
    if (spare_.isDetached()) {
        pending_ = std::move(spare_);
        pending_.resize(0);
    }
    spare_ = worthKeeping(handedOver) ? std::move(handedOver) : QByteArray();
}

} // namespace wispline::wire
