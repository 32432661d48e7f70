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
    void logonReplyFields_data();
    void logonReplyFields();
    void latin1BytesSurviveReassembly();
    void feedWhileMessagesQueuedKeepsOrder();
    void takenMessagesStayIntactWhenTheObjectIsReused();
    void longMessageInSmallChunks();
    void heldMessagesSurviveBufferReuse_data();
    void heldMessagesSurviveBufferReuse();
    void bufferOfALongMessageIsGivenBack();
    void feedingPendingBackIn();
    void hasNextLooksWithoutTaking_data();
    void hasNextLooksWithoutTaking();
    void interleavedFeedsAndTakesKeepOrder_data();
    void interleavedFeedsAndTakesKeepOrder();
};

void tst_Reassembler::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("pending");

    QTest::newRow("one message") << QList<QByteArray>{"SND~hi~ExitEnd`"}
                                 << QStringList{"SND~hi~ExitEnd"} << QByteArray();
    QTest::newRow("several messages in one chunk")
        << QList<QByteArray>{"USRS~abc1~def2~ExitEnd`SND~hi~ExitEnd`LGO~abc1~ExitEnd`"}
        << QStringList{"USRS~abc1~def2~ExitEnd", "SND~hi~ExitEnd", "LGO~abc1~ExitEnd"}
        << QByteArray();
    QTest::newRow("message split inside a field")
        << QList<QByteArray>{"SND~hel", "lo there~ExitEnd`"}
        << QStringList{"SND~hello there~ExitEnd"} << QByteArray();
    QTest::newRow("message split inside the command word")
        << QList<QByteArray>{"Of", "fL~kept~Exi", "tEnd`"} << QStringList{"OffL~kept~ExitEnd"}
        << QByteArray();
    QTest::newRow("chunk ends inside the trailer")
        << QList<QByteArray>{"SND~abc2 <x> hi [10:00]~Exit", "End`"}
        << QStringList{"SND~abc2 <x> hi [10:00]~ExitEnd"} << QByteArray();
    QTest::newRow("chunk ends after the trailer before the terminator")
        << QList<QByteArray>{"SND~hi~ExitEnd", "`LGO~abc1~ExitEnd`"}
        << QStringList{"SND~hi~ExitEnd", "LGO~abc1~ExitEnd"} << QByteArray();
    QTest::newRow("users, message and half a message")
        << QList<QByteArray>{"USRS~abc1~ExitEnd`SND~hi~ExitEnd`OffL~ha"}
        << QStringList{"USRS~abc1~ExitEnd", "SND~hi~ExitEnd"} << QByteArray("OffL~ha");
    QTest::newRow("half message completed by the next chunk")
        << QList<QByteArray>{"USRS~abc1~ExitEnd`OffL~ha", "lf~ExitEnd`SHT~bye~ExitEnd`"}
        << QStringList{"USRS~abc1~ExitEnd", "OffL~half~ExitEnd", "SHT~bye~ExitEnd"} << QByteArray();
    QTest::newRow("handshake without trailer or terminator")
        << QList<QByteArray>{"HND~x"} << QStringList{"HND~x"} << QByteArray();
    QTest::newRow("handshake then its terminator")
        << QList<QByteArray>{"HND~x", "`SND~hi~ExitEnd`"} << QStringList{"HND~x", "SND~hi~ExitEnd"}
        << QByteArray();
    QTest::newRow("unknown command in the same chunk does not swallow the next")
        << QList<QByteArray>{"FOO~x~ExitEnd`SND~hi~ExitEnd`"} << QStringList{"SND~hi~ExitEnd"}
        << QByteArray();
    QTest::newRow("unknown command does not swallow the next chunk's first message")
        << QList<QByteArray>{"FOO~x~ExitEnd`", "SND~hi~ExitEnd`LGO~a1~ExitEnd`"}
        << QStringList{"SND~hi~ExitEnd", "LGO~a1~ExitEnd"} << QByteArray();
    QTest::newRow("several unknown elements all dropped")
        << QList<QByteArray>{"FOO~1`BAR~2`", "SND~hi~ExitEnd`"} << QStringList{"SND~hi~ExitEnd"}
        << QByteArray();
    QTest::newRow("terminated message without trailer dropped")
        << QList<QByteArray>{"SND~lost`OffL~kept~ExitEnd`"} << QStringList{"OffL~kept~ExitEnd"}
        << QByteArray();
    QTest::newRow("wrong-case trailer dropped") << QList<QByteArray>{"SND~a~exitend`SND~b~ExitEnd`"}
                                                << QStringList{"SND~b~ExitEnd"} << QByteArray();
    QTest::newRow("unterminated unknown command waits for its terminator")
        << QList<QByteArray>{"FOO~x~ExitEnd"} << QStringList{} << QByteArray("FOO~x~ExitEnd");
    QTest::newRow("unknown command finished by the next chunk is dropped")
        << QList<QByteArray>{"FOO~x~Exit", "End`SND~hi~ExitEnd`"} << QStringList{"SND~hi~ExitEnd"}
        << QByteArray();
    QTest::newRow("empty elements skipped") << QList<QByteArray>{"``SND~hi~ExitEnd```", "`", ""}
                                            << QStringList{"SND~hi~ExitEnd"} << QByteArray();
    QTest::newRow("trailer at a chunk end is taken at once")
        << QList<QByteArray>{"SND~a~ExitEnd", "~b~ExitEnd`"} << QStringList{"SND~a~ExitEnd"}
        << QByteArray();
    QTest::newRow("download") << QList<QByteArray>{"ALLM~START~ExitEnd`ALLM~MSG~one~Exit",
                                                   "End`ALLM~MSG~two~ExitEnd`", "ALLM~END~ExitEnd`"}
                              << QStringList{"ALLM~START~ExitEnd", "ALLM~MSG~one~ExitEnd",
                                             "ALLM~MSG~two~ExitEnd", "ALLM~END~ExitEnd"}
                              << QByteArray();
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

void tst_Reassembler::logonReplyFields_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("level in field 2")
        << QByteArray("LIU~x~2~ExitEnd`") << QStringList{"LIU", "x", "2", "ExitEnd"};
    QTest::newRow("one field gives level ExitEnd")
        << QByteArray("LIU~x~ExitEnd`") << QStringList{"LIU", "x", "ExitEnd"};
    QTest::newRow("no field leaves no field 2")
        << QByteArray("LIU~ExitEnd`") << QStringList{"LIU", "ExitEnd"};
    QTest::newRow("empty level") << QByteArray("LIU~x~~ExitEnd`")
                                 << QStringList{"LIU", "x", "", "ExitEnd"};
}

void tst_Reassembler::logonReplyFields()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QStringList, fields);
    Reassembler r;
    r.feed(chunk);
    InboundMessage m;
    QVERIFY(r.takeNext(m));
    QCOMPARE(m.command(), Inbound::LIU);
    QCOMPARE(m.fields(), fields);
}

void tst_Reassembler::latin1BytesSurviveReassembly()
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
    for (qsizetype i = 0; i < body.size(); ++i)
        QCOMPARE(decoded.at(i).unicode(), ushort(0x80 + i));
    QCOMPARE(toWire(decoded), body);
    QCOMPARE(m.rawField(1), QByteArrayView(body));
}

void tst_Reassembler::feedWhileMessagesQueuedKeepsOrder()
{
    const QList<QByteArray> chunks{"SND~1~ExitEnd`SND~2~ExitEnd`SND~3", "~ExitEnd",
                                   "`SND~4~ExitEnd`HND~5", "`SND~6~Exi", "tEnd`"};
    const QStringList expected{"SND~1~ExitEnd", "SND~2~ExitEnd", "SND~3~ExitEnd",
                               "SND~4~ExitEnd", "HND~5",         "SND~6~ExitEnd"};

    // Taken chunk by chunk.
    Reassembler stepwise;
    QStringList taken;
    for (const auto& c : chunks) {
        stepwise.feed(c);
        taken += textsOf(takeAll(stepwise));
    }
    QCOMPARE(taken, expected);

    // A nested event loop feeds more while only part of the queue has been taken.
    Reassembler nested;
    nested.feed(chunks.at(0));
    InboundMessage m;
    QVERIFY(nested.takeNext(m));
    QCOMPARE(m.text(), expected.at(0));
    for (qsizetype i = 1; i < chunks.size(); ++i)
        nested.feed(chunks.at(i));
    QCOMPARE(QStringList{m.text()} + textsOf(takeAll(nested)), expected);
}

void tst_Reassembler::takenMessagesStayIntactWhenTheObjectIsReused()
{
    Reassembler r;
    r.feed("USRS~abc1~def2~ghi3~ExitEnd`SND~a longer display text~ExitEnd`LGO~x1~ExitEnd`");
    InboundMessage m;
    QVERIFY(r.takeNext(m));
    const InboundMessage first = m; // kept undecoded: it shares the chunk with the others
    const QString firstUser = m.field(1);
    QVERIFY(r.takeNext(m));
    const InboundMessage second = m;
    QVERIFY(r.takeNext(m));

    QCOMPARE(first.text(), QStringLiteral("USRS~abc1~def2~ghi3~ExitEnd"));
    QCOMPARE(first.fields(), (QStringList{"USRS", "abc1", "def2", "ghi3", "ExitEnd"}));
    QCOMPARE(firstUser, QStringLiteral("abc1"));
    QCOMPARE(second.command(), Inbound::SND);
    QCOMPARE(second.fields(), (QStringList{"SND", "a longer display text", "ExitEnd"}));
    QCOMPARE(m.command(), Inbound::LGO);
    QCOMPARE(m.text(), QStringLiteral("LGO~x1~ExitEnd"));
    QCOMPARE(m.fields(), (QStringList{"LGO", "x1", "ExitEnd"}));
    QVERIFY(!r.takeNext(m));
    QCOMPARE(m.command(), Inbound::LGO); // untouched when nothing is waiting
    QCOMPARE(m.text(), QStringLiteral("LGO~x1~ExitEnd"));
}

void tst_Reassembler::longMessageInSmallChunks()
{
    // A message far longer than a chunk, with its first separator arriving late, is put
    // together intact and leaves nothing behind.
    const QByteArray body(200000, 'x');
    const QByteArray stream = "ALLM~MSG~" + body + "~ExitEnd`ALLM~END~ExitEnd`";
    Reassembler r;
    for (qsizetype at = 0; at < stream.size(); at += 1460)
        r.feed(stream.mid(at, 1460));
    const QList<InboundMessage> messages = takeAll(r);
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).command(), Inbound::ALLM);
    QCOMPARE(messages.at(0).fieldCount(), 4);
    QCOMPARE(messages.at(0).field(2), QString::fromLatin1(body));
    QCOMPARE(messages.at(1).text(), QStringLiteral("ALLM~END~ExitEnd"));
    QVERIFY(r.pending().isEmpty());

    // Without any separator, the command word is not known until the first "~" arrives.
    Reassembler late;
    late.feed(QByteArray(5000, 'S'));
    late.feed("~ExitEnd`SND");
    late.feed("~hi~ExitEnd`");
    QCOMPARE(textsOf(takeAll(late)), QStringList{"SND~hi~ExitEnd"});
}

void tst_Reassembler::heldMessagesSurviveBufferReuse_data()
{
    QTest::addColumn<QList<int>>("bodySizes");
    QTest::addColumn<bool>("keepAll");

    // Every message is cut in two, so each one is put together in the unfinished-text buffer.
    const QList<int> shortOnes{40, 300, 41, 2000, 5};
    const QList<int> longOnes{70000, 300000, 90000, 300000};
    const QList<int> longThenShort{300000, 10, 300000, 12, 80000, 3};
    QTest::newRow("short, all kept") << shortOnes << true;
    QTest::newRow("short, each let go") << shortOnes << false;
    QTest::newRow("long, all kept") << longOnes << true;
    QTest::newRow("long, each let go") << longOnes << false;
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
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const QByteArray& text = expected.at(i);
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
    auto splitMessage = [&](qsizetype bodySize) {
        const QByteArray text = "SND~" + QByteArray(bodySize, 'b') + "~ExitEnd`";
        for (qsizetype at = 0; at < text.size(); at += 1460)
            r.feed(text.mid(at, 1460));
        QVERIFY(r.takeNext(m));
        QCOMPARE(m.raw().size(), text.size() - 1);
        m = InboundMessage();
    };
    splitMessage(1024 * 1024);
    splitMessage(1024 * 1024);
    splitMessage(2000);
    splitMessage(2000);
    splitMessage(2000);
    QVERIFY2(r.pending().capacity() <= 64 * 1024,
             qPrintable(QString::number(r.pending().capacity())));
}

void tst_Reassembler::feedingPendingBackIn()
{
    // The unfinished text handed back in, by reference and as a copy, is appended to itself.
    Reassembler r;
    r.feed("OffL~x~Exit");
    r.feed(r.pending());
    QCOMPARE(r.pending(), QByteArray("OffL~x~ExitOffL~x~Exit"));
    const QByteArray copy = r.pending();
    r.feed(copy);
    QCOMPARE(r.pending(), QByteArray("OffL~x~ExitOffL~x~ExitOffL~x~ExitOffL~x~Exit"));
    QCOMPARE(copy, QByteArray("OffL~x~ExitOffL~x~Exit"));
    r.feed("End`");
    QCOMPARE(textsOf(takeAll(r)), QStringList{"OffL~x~ExitOffL~x~ExitOffL~x~ExitOffL~x~ExitEnd"});
}

void tst_Reassembler::hasNextLooksWithoutTaking_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<bool>("waiting");

    QTest::newRow("nothing fed") << QList<QByteArray>{} << false;
    QTest::newRow("only unknown elements") << QList<QByteArray>{"FOO~1`BAR~2`", "``"} << false;
    QTest::newRow("unfinished message") << QList<QByteArray>{"SND~hi~Exit"} << false;
    QTest::newRow("message behind unknown elements")
        << QList<QByteArray>{"FOO~1`", "BAR~2`SND~hi~ExitEnd`"} << true;
    QTest::newRow("message completed from pending")
        << QList<QByteArray>{"SND~h", "i~ExitEnd`"} << true;
    QTest::newRow("handshake at a chunk end") << QList<QByteArray>{"FOO`HND~x"} << true;
}

void tst_Reassembler::hasNextLooksWithoutTaking()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(bool, waiting);
    Reassembler r;
    for (const auto& c : chunks)
        r.feed(c);
    QCOMPARE(r.hasNext(), waiting);
    QCOMPARE(r.hasNext(), waiting);
    const QList<InboundMessage> messages = takeAll(r);
    QCOMPARE(textsOf(messages), textsOf(feedAll(chunks)));
    QCOMPARE(messages.isEmpty(), !waiting);
    QVERIFY(!r.hasNext());
}

void tst_Reassembler::interleavedFeedsAndTakesKeepOrder_data()
{
    QTest::addColumn<qsizetype>("chunkSize");
    QTest::addColumn<int>("feedsPerTake");

    QTest::newRow("byte chunks, take after every third feed") << qsizetype(1) << 3;
    QTest::newRow("small chunks, take after every feed") << qsizetype(7) << 1;
    QTest::newRow("small chunks, take after every second feed") << qsizetype(7) << 2;
    QTest::newRow("message-sized chunks, take after every second feed") << qsizetype(20) << 2;
    QTest::newRow("medium chunks, take after every fourth feed") << qsizetype(50) << 4;
    QTest::newRow("segments, take after every feed") << qsizetype(1460) << 1;
}

void tst_Reassembler::interleavedFeedsAndTakesKeepOrder()
{
    // A nested event loop feeds while the outer handler takes one message now and then, so the
    // queue grows long without ever being emptied; every message still comes out once, in order.
    QFETCH(qsizetype, chunkSize);
    QFETCH(int, feedsPerTake);

    QByteArray stream;
    for (int i = 0; i < 400; ++i) {
        switch (i % 5) {
        case 0:
            stream += "SND~message " + QByteArray::number(i) + "~ExitEnd`";
            break;
        case 1:
            stream += "FOO~dropped " + QByteArray::number(i) + "`";
            break;
        case 2:
            stream += "USRS~u" + QByteArray::number(i) + "1~ExitEnd``";
            break;
        case 3:
            stream += "ALLM~MSG~" + QByteArray(i % 37, 'x') + "~ExitEnd`";
            break;
        default:
            stream += "OffL~" + QByteArray::number(i) + "~ExitEnd`";
            break;
        }
    }
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
