// Feeds the input to the server's inbound splitter in chunks whose sizes, pauses (settle) and
// buffer limit come from the input itself, and checks that every byte fed comes out exactly once,
// in order, and that each piece is what its kind says.
#include "net/InboundSplitter.h"

#include <cstdint>
#include <cstdlib>

using namespace wispline::server;

namespace
{

int fieldCount(const QByteArray& text)
{
    return int(text.count('~')) + 1;
}

QByteArray commandWord(const QByteArray& text)
{
    const qsizetype tilde = text.indexOf('~');
    return tilde < 0 ? QByteArray() : text.left(tilde);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    unsigned seed = data[0];
    InboundSplitter splitter(64 + 4 * qsizetype(data[1]));
    const QByteArray stream(reinterpret_cast<const char*>(data) + 2, qsizetype(size - 2));

    QList<InboundPiece> pieces;
    for (qsizetype from = 0; from < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype length = qMin<qsizetype>(1 + (seed >> 16) % 23, stream.size() - from);
        splitter.feed(stream.mid(from, length), pieces);
        from += length;
        if ((seed >> 8) % 4 == 0)
            splitter.settle(pieces); // no further byte for the settle time
    }
    splitter.finish(pieces); // the end of the connection

    QByteArray out;
    for (const InboundPiece& piece : pieces) {
        const int expected = clientFieldCount(commandWord(piece.text));
        switch (piece.kind) {
        case InboundPiece::Message:
            if (expected == 0 || fieldCount(piece.text) != expected)
                std::abort();
            break;
        case InboundPiece::BadFieldCount:
            if (expected == 0 || fieldCount(piece.text) == expected)
                std::abort();
            break;
        case InboundPiece::Garbage:
            if (piece.text.isEmpty() || expected != 0)
                std::abort();
            break;
        case InboundPiece::Overflow:
            break;
        }
        out += piece.text;
    }
    // What has not come out is still waiting; nothing is lost or repeated.
    if (out.size() + splitter.pendingSize() != stream.size() || !stream.startsWith(out))
        std::abort();
    return 0;
}
