// Feeds the input to the reassembler in chunks whose sizes come from the input itself, and
// checks that what comes out is what the whole input gives as one chunk, judged by a slow
// reference built from the field splitter and the catalogue.
#include "link/Reassembler.h"

#include <cstdint>
#include <cstdlib>

using namespace wispline::wire;

namespace
{

bool recognisedAsText(QByteArrayView element)
{
    return recognise(splitFields(fromWire(element.toByteArray()))) != Inbound::None;
}

// The messages the whole input holds: every recognised element between terminators, then the
// unterminated end when it is recognised already.
QList<QByteArray> reference(QByteArrayView stream)
{
    QList<QByteArray> out;
    qsizetype from = 0;
    for (qsizetype at = stream.indexOf(kTerminator); at >= 0;
         at = stream.indexOf(kTerminator, from)) {
        const QByteArrayView element = stream.sliced(from, at - from);
        if (!element.isEmpty() && recognisedAsText(element))
            out.append(element.toByteArray());
        from = at + 1;
    }
    const QByteArrayView tail = stream.sliced(from);
    if (!tail.isEmpty() && recognisedAsText(tail))
        out.append(tail.toByteArray());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte seeds the chunk sizes; the rest is the stream.
    unsigned seed = data[0];
    const QByteArrayView stream(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));

    Reassembler r;
    QList<QByteArray> got;
    qsizetype from = 0;
    qsizetype elementStart = 0;
    bool earlyHandOutPossible = false;
    while (from < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype length = qMin<qsizetype>(1 + (seed >> 16) % 17, stream.size() - from);
        const QByteArrayView chunk = stream.sliced(from, length);
        const qsizetype lastTerminator = chunk.lastIndexOf(kTerminator);
        if (lastTerminator >= 0)
            elementStart = from + lastTerminator + 1;
        from += length;
        // A chunk that ends inside an element already recognisable hands it out early: the
        // framing rule allows that, so such a split is not compared.
        if (from < stream.size() && from > elementStart &&
            recognisedAsText(stream.sliced(elementStart, from - elementStart)))
            earlyHandOutPossible = true;
        r.feed(chunk.toByteArray());
        InboundMessage m;
        while (r.takeNext(m)) {
            if (m.command() != recogniseWire(m.raw()))
                std::abort();
            got.append(m.raw().toByteArray());
        }
    }
    if (!earlyHandOutPossible && got != reference(stream))
        std::abort();
    return 0;
}
