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
    void framing_data();
    void framing();
    void anyTwoWaySplitGivesTheSameMessages_data();
    void anyTwoWaySplitGivesTheSameMessages();
    void highBytesSurviveReassembly();
    void feedWhileMessagesQueuedKeepsOrder();
    void takenMessagesStayIntactWhenTheObjectIsReused();
    void heldMessagesSurviveBufferReuse_data();
    void heldMessagesSurviveBufferReuse();
    void bufferOfALongMessageIsGivenBack();
    void feedingPendingBackIn();
    void interleavedFeedsAndTakesKeepOrder_data();
    void interleavedFeedsAndTakesKeepOrder();
    void oversizedElementIsDroppedAndTheNextKept_data();
    void oversizedElementIsDroppedAndTheNextKept();
    void discardedPendingIsNotGluedToTheNextMessage();
};

void tst_Reassembler::framing_data()
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

void tst_Reassembler::framing()
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
    for (const auto& m : messages) {
        const WireMessage fields = splitFields(m.text());
        QCOMPARE(m.fieldCount(), fields.size());
        for (qsizetype i = 0; i < fields.size(); ++i)
            QCOMPARE(m.field(i), fields.at(i));
        QCOMPARE(m.command(), recognise(fields));
        QVERIFY(m.command() != Inbound::None);
    }
    QVERIFY(!r.hasNext());
}

void tst_Reassembler::anyTwoWaySplitGivesTheSameMessages_data()
{
    QTest::addColumn<QByteArray>("stream");

    QTest::newRow("catalogue mix") << QByteArray("LIU~x~2~ExitEnd`USRS~abc1~def2~ExitEnd`"
                                                 "SND~abc2 <x> hi [10:00]~ExitEnd`FOO~y`"
                                                 "CHPASS~Done~S~n3w~ExitEnd`ALLM~END~ExitEnd`");
    QTest::newRow("empty fields and elements")
        << QByteArray("``OffL~~ExitEnd`LGO~~ExitEnd``SHT~~~ExitEnd`");
}

void tst_Reassembler::anyTwoWaySplitGivesTheSameMessages()
{
    // Without HND and without a field "ExitEnd" inside a message, where the stream is cut must
    // not matter: one chunk, every two-chunk cut, and one byte at a time agree.
    QFETCH(QByteArray, stream);
    const QStringList whole = textsOf(feedAll({stream}));
    QVERIFY(!whole.isEmpty());
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        const QStringList split = textsOf(feedAll({stream.first(cut), stream.sliced(cut)}));
        QVERIFY2(split == whole, qPrintable(QString("cut at %1").arg(cut)));
    }
    QList<QByteArray> bytes;
    for (char c : stream)
        bytes.append(QByteArray(1, c));
    QCOMPARE(textsOf(feedAll(bytes)), whole);
}

void tst_Reassembler::highBytesSurviveReassembly()
{
    QByteArray body;
    for (int b = 0x80; b <= 0xFF; ++b)
        body.append(char(b));
    const QByteArray message = "SND~" + body + "~ExitEnd`";
    const qsizetype middle = 4 + body.size() / 2;

    Reassembler r;
    r.feed(message.first(middle));
    QVERIFY(!r.hasNext());
    r.feed(message.sliced(middle));
    InboundMessage m;
    QVERIFY(r.takeNext(m));
    QCOMPARE(m.fieldCount(), 3);
    const QString decoded = m.field(1);
    QCOMPARE(decoded.size(), body.size());
    QCOMPARE(decoded, fromWire(body));
    QCOMPARE(toWire(decoded), body);
    QCOMPARE(m.rawField(1), QByteArrayView(body));
}

void tst_Reassembler::feedWhileMessagesQueuedKeepsOrder()
{
    // A nested event loop feeds more while only part of the queue has been taken.
    const QList<QByteArray> chunks{"SND~1~ExitEnd`SND~2~ExitEnd`SND~3", "~ExitEnd",
                                   "`SND~4~ExitEnd`HND~5", "`SND~6~Exi", "tEnd`"};
    const QStringList expected{"SND~1~ExitEnd", "SND~2~ExitEnd", "SND~3~ExitEnd",
                               "SND~4~ExitEnd", "HND~5",         "SND~6~ExitEnd"};
    Reassembler r;
    r.feed(chunks.at(0));
    InboundMessage m;
    QVERIFY(r.takeNext(m));
    QCOMPARE(m.text(), expected.at(0));
    for (qsizetype i = 1; i < chunks.size(); ++i)
        r.feed(chunks.at(i));
    QCOMPARE(QStringList{m.text()} + textsOf(takeAll(r)), expected);
}

void tst_Reassembler::takenMessagesStayIntactWhenTheObjectIsReused()
{
    Reassembler r;
    r.feed("USRS~abc1~def2~ghi3~ExitEnd`SND~a longer display text~ExitEnd`LGO~x1~ExitEnd`");
    InboundMessage m;
    QVERIFY(r.takeNext(m));
    const InboundMessage first = m; // kept undecoded: it shares the chunk with the others
    QVERIFY(r.takeNext(m));
    const InboundMessage second = m;
    QVERIFY(r.takeNext(m));

    QCOMPARE(first.fields(), (QStringList{"USRS", "abc1", "def2", "ghi3", "ExitEnd"}));
    QCOMPARE(second.command(), Inbound::SND);
    QCOMPARE(second.fields(), (QStringList{"SND", "a longer display text", "ExitEnd"}));
    QCOMPARE(m.command(), Inbound::LGO);
    QCOMPARE(m.fields(), (QStringList{"LGO", "x1", "ExitEnd"}));
    QVERIFY(!r.takeNext(m));
    QCOMPARE(m.command(), Inbound::LGO); // untouched when nothing is waiting
    QCOMPARE(m.text(), QStringLiteral("LGO~x1~ExitEnd"));
}

void tst_Reassembler::heldMessagesSurviveBufferReuse_data()
{
    QTest::addColumn<QList<int>>("bodySizes");
    QTest::addColumn<bool>("keepAll");

    // Every message is cut in two, so each one is put together in the unfinished-text buffer.
    const QList<int> shortOnes{40, 300, 41, 2000, 5};
    const QList<int> longThenShort{300000, 10, 300000, 12, 80000, 3};
    QTest::newRow("short, all kept") << shortOnes << true;
    QTest::newRow("short, each let go") << shortOnes << false;
    QTest::newRow("long and short, all kept") << longThenShort << true;
    QTest::newRow("long and short, each let go") << longThenShort << false;
}

void tst_Reassembler::heldMessagesSurviveBufferReuse()
{
    // A message still held by the caller shares the buffer it was put together in; reusing that
    // buffer for a later message must not change it.
    QFETCH(QList<int>, bodySizes);
    QFETCH(bool, keepAll);

    QList<QByteArray> expected;
    for (qsizetype i = 0; i < bodySizes.size(); ++i)
        expected.append("SND~" + QByteArray(bodySizes.at(i), char('a' + i)) + "~ExitEnd");

    Reassembler r;
    QList<InboundMessage> kept;
    InboundMessage m;
    for (const QByteArray& text : expected) {
        const qsizetype cut = text.size() / 2;
        r.feed(text.first(cut));
        QVERIFY(!r.takeNext(m));
        r.feed(text.sliced(cut) + '`');
        QVERIFY(r.takeNext(m));
        QCOMPARE(m.raw(), QByteArrayView(text));
        if (keepAll)
            kept.append(m);
        else
            m = InboundMessage(); // let go, so its buffer may be reused
        QVERIFY(!r.takeNext(m));
        QVERIFY(r.pending().isEmpty());
    }
    for (qsizetype i = 0; i < kept.size(); ++i)
        QCOMPARE(kept.at(i).raw(), QByteArrayView(expected.at(i)));
}

void tst_Reassembler::bufferOfALongMessageIsGivenBack()
{
    // After a burst of long messages the reassembler does not hold on to megabytes for good.
    Reassembler r;
    InboundMessage m;
    for (const int bodySize : {1024 * 1024, 1024 * 1024, 2000, 2000, 2000}) {
        const QByteArray text = "SND~" + QByteArray(bodySize, 'b') + "~ExitEnd";
        const QByteArray stream = text + '`';
        for (qsizetype at = 0; at < stream.size(); at += 1460)
            r.feed(stream.mid(at, 1460));
        QVERIFY(r.takeNext(m));
        QCOMPARE(m.raw(), QByteArrayView(text));
        QVERIFY(r.pending().isEmpty());
        m = InboundMessage();
    }
    QVERIFY2(r.pending().capacity() <= 64 * 1024,
             qPrintable(QString::number(r.pending().capacity())));
}

void tst_Reassembler::feedingPendingBackIn()
{
    // The unfinished text handed back in by reference is appended to itself.
    Reassembler r;
    r.feed("OffL~x~Exit");
    r.feed(r.pending());
    QCOMPARE(r.pending(), QByteArray("OffL~x~ExitOffL~x~Exit"));
    r.feed("End`");
    QCOMPARE(textsOf(takeAll(r)), QStringList{"OffL~x~ExitOffL~x~ExitEnd"});
}

void tst_Reassembler::interleavedFeedsAndTakesKeepOrder_data()
{
    QTest::addColumn<qsizetype>("chunkSize");
    QTest::addColumn<int>("feedsPerTake");

    QTest::newRow("byte chunks, take after every third feed") << qsizetype(1) << 3;
    QTest::newRow("message-sized chunks, take after every second feed") << qsizetype(20) << 2;
    QTest::newRow("medium chunks, take after every fourth feed") << qsizetype(50) << 4;
}

void tst_Reassembler::interleavedFeedsAndTakesKeepOrder()
{
    // A nested event loop feeds while the outer handler takes one message now and then, so the
    // queue grows long without ever being emptied; every message still comes out once, in order.
    QFETCH(qsizetype, chunkSize);
    QFETCH(int, feedsPerTake);

    const QByteArray kinds[] = {"SND~message #~ExitEnd`", "FOO~dropped #`", "USRS~u#1~ExitEnd``",
                                "ALLM~MSG~*~ExitEnd`", "OffL~#~ExitEnd`"};
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

QTEST_APPLESS_MAIN(tst_Reassembler)
#include "tst_reassembler.moc"

// The unfinished text had no limit: a server that never sent a terminator grew it for ever.
void tst_Reassembler::oversizedElementIsDroppedAndTheNextKept_data()
{
    QTest::addColumn<QByteArray>("end"); // how the oversized element ends
    QTest::newRow("terminator in a later chunk") << QByteArray("rest`");
    QTest::newRow("terminator with the next message") << QByteArray("`");
}

void tst_Reassembler::oversizedElementIsDroppedAndTheNextKept()
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
void tst_Reassembler::discardedPendingIsNotGluedToTheNextMessage()
{
    Reassembler r;
    r.feed("SND~hel");
    r.discardPending();
    r.feed("LIU~x~2~ExitEnd`");
    QCOMPARE(textsOf(takeAll(r)), QStringList{QStringLiteral("LIU~x~2~ExitEnd")});
}
