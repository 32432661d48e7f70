#include "link/Reassembler.h"

#include <QLatin1String>
#include <QVarLengthArray>
#include <cstring>

namespace wispline::wire
{

namespace
{

// The unfinished text keeps its buffer between messages unless one big message made it large.
constexpr qsizetype kKeptCapacity = 64 * 1024;

qsizetype findByte(const char* data, qsizetype size, char byte)
{
    if (size <= 0)
        return -1;
    const void* hit = std::memchr(data, byte, size_t(size));
    return hit ? static_cast<const char*>(hit) - data : -1;
}

QByteArrayView commandWordOf(QByteArrayView element, qsizetype firstSeparator)
{
    return firstSeparator < 0 ? element : element.first(firstSeparator);
}

} // namespace

void Reassembler::feed(const QByteArray& chunk)
{
    // A private reference keeps the bytes stable (even if the caller hands in pending()) and lets
    // queued messages point into the chunk instead of copying it.
    const QByteArray bytes = chunk;
    const char* const data = bytes.constData();
    const qsizetype size = bytes.size();

    qsizetype from = 0;
    for (;;) {
        const qsizetype length = findByte(data + from, size - from, kTerminator);
        if (length < 0)
            break;
        if (pending_.isEmpty()) {
            completeElement(bytes, from, length, findByte(data + from, length, kFieldSeparator));
        } else {
            appendPending(QByteArrayView(data + from, length));
            completeElement(pending_, 0, pending_.size(), firstSeparator_);
            resetPending();
        }
        from += length + 1;
    }

    appendPending(QByteArrayView(data + from, size - from));
    if (pending_.isEmpty())
        return;
    // The unterminated tail is tested once per chunk: a message whose trailer (or, for HND, whose
    // command word) is already here is handled now rather than waiting for its terminator.
    const Inbound command = recogniseWire(commandWordOf(pending_, firstSeparator_), pending_);
    if (command != Inbound::None) {
        ready_.push_back({command, pending_, 0, pending_.size()});
        resetPending();
    }
}

bool Reassembler::takeNext(InboundMessage& out)
{
    if (ready_.empty())
        return false;
    const Recognised next = std::move(ready_.front());
    ready_.pop_front();
    const char* const data = next.bytes.constData() + next.offset;

    // Assigning Latin-1 text decodes it straight into the strings `out` already owns when they
    // are not shared, so a caller that takes into one message object reuses its buffers.
    out.command = next.command;
    out.text = QLatin1String(data, next.size);
    QVarLengthArray<qsizetype, 32> separators;
    for (qsizetype at = findByte(data, next.size, kFieldSeparator); at >= 0;) {
        separators.append(at);
        const qsizetype more = findByte(data + at + 1, next.size - at - 1, kFieldSeparator);
        at = more < 0 ? -1 : at + 1 + more;
    }
    out.fields.resize(separators.size() + 1);
    qsizetype from = 0;
    qsizetype index = 0;
    for (const qsizetype at : separators) {
        out.fields[index++] = QLatin1String(data + from, at - from);
        from = at + 1;
    }
    out.fields[index] = QLatin1String(data + from, next.size - from);
    return true;
}

void Reassembler::completeElement(const QByteArray& source, qsizetype offset, qsizetype size,
                                  qsizetype firstSeparator)
{
    // A terminated element is final: if it is not a catalogue message now it never will be, so
    // it is dropped instead of being glued in front of the next message.
    if (size == 0)
        return;
    const QByteArrayView element(source.constData() + offset, size);
    const Inbound command = recogniseWire(commandWordOf(element, firstSeparator), element);
    if (command != Inbound::None)
        ready_.push_back({command, source, offset, size});
}

void Reassembler::appendPending(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    // Only the new bytes are searched, so a long message arriving in small pieces stays linear.
    if (firstSeparator_ < 0) {
        const qsizetype at = findByte(bytes.data(), bytes.size(), kFieldSeparator);
        if (at >= 0)
            firstSeparator_ = pending_.size() + at;
    }
    pending_.append(bytes.data(), bytes.size());
}

void Reassembler::resetPending()
{
    // A queued message may still share the buffer; then a fresh one is started.
    if (pending_.capacity() > kKeptCapacity || !pending_.isDetached())
        pending_ = QByteArray();
    else
        pending_.resize(0);
    firstSeparator_ = -1;
}

} // namespace wispline::wire
