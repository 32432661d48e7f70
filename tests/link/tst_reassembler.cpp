#include "link/Reassembler.h"

#include <QTest>

using namespace wispline::wire;

namespace
{

QList<InboundMessage> takeAll(Reassembler& r)
{
    QList<InboundMessage> out;
    InboundMessage m;
    while (r.takeNext(m))
        out.append(m);
    return out;
}

QStringList textsOf(const QList<InboundMessage>& messages)
{
    QStringList texts;
    for (const auto& m : messages)
        texts << m.text();
    return texts;
}

QList<InboundMessage> feedAll(const QList<QByteArray>& chunks)
{
    Reassembler r;
    for (const auto& c : chunks)
        r.feed(c);
    return takeAll(r);
}

} // namespace

class tst_Reassembler : public QObject
{
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QByteArray>("pending");

        auto row = [](const char* name, const QList<QByteArray>& chunks, const QStringList& texts,
                      const QByteArray& pending = {}) {
            QTest::newRow(name) << chunks << texts << pending;
        };
        row("several messages in one chunk",
            {"USRS~abc1~def2~ExitEnd`SND~hi~ExitEnd`LGO~abc1~ExitEnd`"},
            {"USRS~abc1~def2~ExitEnd", "SND~hi~ExitEnd", "LGO~abc1~ExitEnd"});
        row("message split inside the command word", {"Of", "fL~kept~Exi", "tEnd`"},
            {"OffL~kept~ExitEnd"});
        row("chunk ends inside the trailer", {"SND~abc2 <x> hi [10:00]~Exit", "End`"},
            {"SND~abc2 <x> hi [10:00]~ExitEnd"});
        row("chunk ends after the trailer before the terminator",
            {"SND~hi~ExitEnd", "`LGO~abc1~ExitEnd`"}, {"SND~hi~ExitEnd", "LGO~abc1~ExitEnd"});
        row("trailer at a chunk end is taken at once", {"SND~a~ExitEnd", "~b~ExitEnd`"},
            {"SND~a~ExitEnd"});
        // Both are held while the second is put together in the buffer of the first.
        row("two messages each finished from unfinished text",
            {"SND~a", "~ExitEnd`SND~b", "~ExitEnd`"}, {"SND~a~ExitEnd", "SND~b~ExitEnd"});
        row("users, message and half a message", {"USRS~abc1~ExitEnd`SND~hi~ExitEnd`OffL~ha"},
            {"USRS~abc1~ExitEnd", "SND~hi~ExitEnd"}, "OffL~ha");
        row("handshake without trailer or terminator", {"HND~x"}, {"HND~x"});
        row("handshake then its terminator", {"HND~x", "`SND~hi~ExitEnd`"},
            {"HND~x", "SND~hi~ExitEnd"});
        row("logon reply with one field keeps the trailer as field 2", {"LIU~x~ExitEnd`"},
            {"LIU~x~ExitEnd"});
        row("unknown command in the same chunk does not swallow the next",
            {"FOO~x~ExitEnd`SND~hi~ExitEnd`"}, {"SND~hi~ExitEnd"});
        row("unknown command finished by the next chunk is dropped",
            {"FOO~x~Exit", "End`SND~hi~ExitEnd`"}, {"SND~hi~ExitEnd"});
        row("unterminated unknown command waits for its terminator", {"FOO~x~ExitEnd"}, {},
            "FOO~x~ExitEnd");
        row("only unknown elements", {"FOO~1`BAR~2`", "``"}, {});
        row("terminated message without trailer dropped", {"SND~lost`OffL~kept~ExitEnd`"},
            {"OffL~kept~ExitEnd"});
        row("empty elements skipped", {"``SND~hi~ExitEnd```", "`", ""}, {"SND~hi~ExitEnd"});
    }

    void framing()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, texts);
        QFETCH(QByteArray, pending);

        Reassembler r;
        for (const auto& c : chunks)
            r.feed(c);
        QCOMPARE(r.pending(), pending);
        // Looking must neither take nor skip anything: the texts below would differ.
        QCOMPARE(r.hasNext(), !texts.isEmpty());
        const QList<InboundMessage> messages = takeAll(r);
        QCOMPARE(textsOf(messages), texts);
        QVERIFY(!r.hasNext());
    }

    void anyTwoWaySplitGivesTheSameMessages_data()
    {
        QTest::addColumn<QByteArray>("stream");

        // High bytes (Windows-1252 text) must not end or split anything.
        QTest::newRow("catalogue mix") << QByteArray("LIU~x~2~ExitEnd`USRS~abc1~def2~ExitEnd`"
                                                     "SND~abc2 <x> hi [10:00]~ExitEnd`FOO~y`"
                                                     "CHPASS~Done~S~n3w~ExitEnd`ALLM~END~ExitEnd`"
                                                     "OffL~\x80\xe9\xff~ExitEnd`");
        QTest::newRow("empty fields and elements")
            << QByteArray("``OffL~~ExitEnd`LGO~~ExitEnd``SHT~~~ExitEnd`");
    }

    void anyTwoWaySplitGivesTheSameMessages()
    {
        // Without HND and without a field "ExitEnd" inside a message, where the stream is cut must
        // not matter: one chunk and every two-chunk cut agree (byte by byte: the interleaving
        // test).
        QFETCH(QByteArray, stream);
        const QStringList whole = textsOf(feedAll({stream}));
        QVERIFY(!whole.isEmpty());
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            const QStringList split = textsOf(feedAll({stream.first(cut), stream.sliced(cut)}));
            QVERIFY2(split == whole, qPrintable(QString("cut at %1").arg(cut)));
        }
    }

    void interleavedFeedsAndTakesKeepOrder_data()
    {
        QTest::addColumn<qsizetype>("chunkSize");
        QTest::addColumn<int>("feedsPerTake");

        QTest::newRow("byte chunks, take after every third feed") << qsizetype(1) << 3;
        QTest::newRow("medium chunks, take after every fourth feed") << qsizetype(50) << 4;
    }

    void interleavedFeedsAndTakesKeepOrder()
    {
        // A nested event loop feeds while the outer handler takes one message now and then, so the
        // queue grows long without ever being emptied; every message still comes out once, in
        // order.
        QFETCH(qsizetype, chunkSize);
        QFETCH(int, feedsPerTake);

        const QByteArray kinds[] = {"SND~message #~ExitEnd`", "FOO~dropped #`",
                                    "USRS~u#1~ExitEnd``", "ALLM~MSG~*~ExitEnd`", "OffL~#~ExitEnd`"};
        QByteArray stream;
        for (int i = 0; i < 400; ++i)
            stream += QByteArray(kinds[i % 5])
                          .replace("#", QByteArray::number(i))
                          .replace("*", QByteArray(i % 37, 'x'));
        const QStringList whole = textsOf(feedAll({stream}));
        QCOMPARE(whole.size(), 320);

        Reassembler r;
        QStringList taken;
        InboundMessage m;
        int feeds = 0;
        for (qsizetype at = 0; at < stream.size(); at += chunkSize) {
            r.feed(stream.mid(at, chunkSize));
            if (++feeds % feedsPerTake == 0 && r.takeNext(m))
                taken << m.text();
        }
        taken += textsOf(takeAll(r));
        QCOMPARE(taken, whole);
    }

    // The unfinished text had no limit: a server that never sent a terminator grew it for ever.
    void oversizedElementIsDroppedAndTheNextKept_data()
    {
        QTest::addColumn<QByteArray>("end"); // how the oversized element ends
        QTest::newRow("terminator in a later chunk") << QByteArray("rest`");
        QTest::newRow("terminator with the next message") << QByteArray("`");
    }

    void oversizedElementIsDroppedAndTheNextKept()
    {
        QFETCH(QByteArray, end);
        Reassembler r;
        const QByteArray block(64 * 1024, 'x');
        r.feed("SND~");
        for (qsizetype fed = 0; fed < 20 * 1024 * 1024; fed += block.size())
            r.feed(block);
        QVERIFY(r.pending().size() <= Reassembler::kMaxPending);
        if (end == "`") {
            r.feed(end + "SND~after~ExitEnd`");
        } else {
            r.feed(end);
            r.feed("SND~after~ExitEnd`");
        }
        QCOMPARE(textsOf(takeAll(r)), QStringList{QStringLiteral("SND~after~ExitEnd")});
        QVERIFY(r.pending().isEmpty());
    }

    // Unfinished text of a dropped connection was glued to the next connection's first message.
    void discardedPendingIsNotGluedToTheNextMessage()
    {
        Reassembler r;
        r.feed("SND~hel");
        r.discardPending();
        r.feed("LIU~x~2~ExitEnd`");
        QCOMPARE(textsOf(takeAll(r)), QStringList{QStringLiteral("LIU~x~2~ExitEnd")});
    }
};

QTEST_APPLESS_MAIN(tst_Reassembler)
#include "tst_reassembler.moc"
