// Reassembly throughput for three traffic shapes, each beside a baseline that does nothing but
// find the terminators in the same bytes, delivered in the same chunks.
#include "link/Reassembler.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QList>
#include <cstring>

using wispline::wire::InboundMessage;
using wispline::wire::Reassembler;

namespace
{

constexpr qsizetype kSegment = 1460; // one TCP segment's payload on Ethernet
constexpr qsizetype kMiB = 1024 * 1024;

QList<QByteArray> cut(const QByteArray& stream, qsizetype size)
{
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < stream.size(); at += size)
        chunks.append(stream.mid(at, size));
    return chunks;
}

qsizetype totalSize(const QList<QByteArray>& chunks)
{
    qsizetype total = 0;
    for (const auto& c : chunks)
        total += c.size();
    return total;
}

// Ten thousand short messages as one buffer.
QList<QByteArray> shortMessages()
{
    QByteArray stream;
    for (int i = 0; i < 10000; ++i) {
        stream += "SND~abc2 <x> Meeting moved to room " + QByteArray::number(i % 97) +
                  " [10:32:15]~ExitEnd`";
    }
    return {stream};
}

// A day's download of about 1 MiB: START, message lines, END.
QList<QByteArray> download()
{
    QByteArray stream = "ALLM~START~ExitEnd`";
    for (int i = 0; stream.size() < kMiB; ++i) {
        stream += "ALLM~MSG~10:" + QByteArray::number(10 + i % 50) +
                  " abc2 to def3: the report for the north office is ready for review, "
                  "please send comments by noon (" +
                  QByteArray::number(i) + ")~ExitEnd`";
    }
    stream += "ALLM~END~ExitEnd`";
    return cut(stream, kSegment);
}

// One message of 1 MiB.
QList<QByteArray> hugeMessage()
{
    QByteArray body(kMiB, 'a');
    for (qsizetype i = 0; i < body.size(); i += 61)
        body[i] = ' ';
    return cut("SND~" + body + "~ExitEnd`", kSegment);
}

// As in the socket handler: one message object per chunk, every message taken out until none
// is left. `takeNext` is all the client does to a message before handing it to the dispatcher,
// which decodes only the fields it reads.
qsizetype takeAll(Reassembler& r, const QList<QByteArray>& chunks)
{
    qsizetype messages = 0;
    for (const auto& c : chunks) {
        InboundMessage m;
        r.feed(c);
        while (r.takeNext(m))
            ++messages;
        benchmark::DoNotOptimize(m);
    }
    return messages;
}

// The client keeps one reassembler for the whole connection; every pass ends with nothing
// pending, so passes are independent but find the buffers the previous pass left.
void reassemble(benchmark::State& state, const QList<QByteArray>& chunks)
{
    qsizetype messages = 0;
    Reassembler r;
    for (auto _ : state)
        messages += takeAll(r, chunks);
    benchmark::DoNotOptimize(messages);
    state.SetBytesProcessed(int64_t(state.iterations()) * totalSize(chunks));
}

// A new reassembler for every pass: the first messages of a connection, every buffer new.
void reassembleFirst(benchmark::State& state, const QList<QByteArray>& chunks)
{
    qsizetype messages = 0;
    for (auto _ : state) {
        Reassembler r;
        messages += takeAll(r, chunks);
    }
    benchmark::DoNotOptimize(messages);
    state.SetBytesProcessed(int64_t(state.iterations()) * totalSize(chunks));
}

void scanTerminators(benchmark::State& state, const QList<QByteArray>& chunks)
{
    qsizetype terminators = 0;
    for (auto _ : state) {
        for (const auto& c : chunks) {
            const char* at = c.constData();
            const char* const end = at + c.size();
            while (at < end) {
                const void* hit = std::memchr(at, '`', size_t(end - at));
                if (!hit)
                    break;
                ++terminators;
                at = static_cast<const char*>(hit) + 1;
            }
        }
        benchmark::DoNotOptimize(terminators);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * totalSize(chunks));
}

void BM_ShortMessages(benchmark::State& s)
{
    static const auto data = shortMessages();
    reassemble(s, data);
}
void BM_ShortMessagesBaseline(benchmark::State& s)
{
    static const auto data = shortMessages();
    scanTerminators(s, data);
}
void BM_Download(benchmark::State& s)
{
    static const auto data = download();
    reassemble(s, data);
}
void BM_DownloadBaseline(benchmark::State& s)
{
    static const auto data = download();
    scanTerminators(s, data);
}
void BM_HugeMessage(benchmark::State& s)
{
    static const auto data = hugeMessage();
    reassemble(s, data);
}
void BM_HugeMessageNewReassembler(benchmark::State& s)
{
    static const auto data = hugeMessage();
    reassembleFirst(s, data);
}
void BM_HugeMessageBaseline(benchmark::State& s)
{
    static const auto data = hugeMessage();
    scanTerminators(s, data);
}

} // namespace

BENCHMARK(BM_ShortMessages);
BENCHMARK(BM_ShortMessagesBaseline);
BENCHMARK(BM_Download);
BENCHMARK(BM_DownloadBaseline);
BENCHMARK(BM_HugeMessage);
BENCHMARK(BM_HugeMessageNewReassembler);
BENCHMARK(BM_HugeMessageBaseline);

BENCHMARK_MAIN();
