// Cutting a client's byte stream into messages.
#include "InboundSplitter.h"

#include <QTest>

using wispline::server::InboundPiece;
using wispline::server::InboundSplitter;

namespace
{

QString describe(const InboundPiece& piece)
{
    static const char* const kinds[] = {"msg", "bad", "junk", "overflow"};
    return QLatin1String(kinds[piece.kind]) + QLatin1Char(':') + QString::fromLatin1(piece.text);
}

} // namespace

class TestInboundSplitter : public QObject
{
    Q_OBJECT
private slots:
    void splitsReads_data();
    void splitsReads();
    void dropsAnUnfinishedMessageBeyondTheLimit();
    void recoversAfterOverflow();
};

void TestInboundSplitter::splitsReads_data()
{
    // An empty read stands for the settle time passing; it also passes after the last read.
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("pending");

    QTest::newRow("one message per read")
        << QList<QByteArray>{"SND~ALICE1~hi~BOB2~NOONE", "LOU~ALICE1"}
        << QStringList{"msg:SND~ALICE1~hi~BOB2~NOONE", "msg:LOU~ALICE1"} << 0;
    QTest::newRow("two messages in one read")
        << QList<QByteArray>{"SND~ALICE1~hi~BOB2~NOONEHND~ALICE1~1"}
        << QStringList{"msg:SND~ALICE1~hi~BOB2~NOONE", "msg:HND~ALICE1~1"} << 0;
    QTest::newRow("every command run together")
        << QList<QByteArray>{"LIU~A~p~1.1.1~MACHND~A1~1LOU~A1ALLMsgs~A1~p~1.1.1CHPASS~A~1~"
                             "nSND~A1~t~B2~L2A"}
        << QStringList{"msg:LIU~A~p~1.1.1~MAC",  "msg:HND~A1~1",     "msg:LOU~A1",
                       "msg:ALLMsgs~A1~p~1.1.1", "msg:CHPASS~A~1~n", "msg:SND~A1~t~B2~L2A"}
        << 0;
    QTest::newRow("command word inside the text is not a boundary")
        << QList<QByteArray>{"SND~ALICE1~ask LIU~BOB2~NOONE"}
        << QStringList{"msg:SND~ALICE1~ask LIU~BOB2~NOONE"} << 0;
    QTest::newRow("empty last field before the next message")
        << QList<QByteArray>{"LOU~SND~A1~x~B2~NOONE"}
        << QStringList{"msg:LOU~", "msg:SND~A1~x~B2~NOONE"} << 0;
    QTest::newRow("message split over two reads")
        << QList<QByteArray>{"SND~ALICE1~a long te", "xt~BOB2~NOONE"}
        << QStringList{"msg:SND~ALICE1~a long text~BOB2~NOONE"} << 0;
    QTest::newRow("split inside the command word")
        << QList<QByteArray>{"CHP", "ASS~BOB~2~new"} << QStringList{"msg:CHPASS~BOB~2~new"} << 0;
    QTest::newRow("waits for the missing fields")
        << QList<QByteArray>{"SND~ALICE1~hi"} << QStringList{} << 13;
    QTest::newRow("short message ended by a write after the settle time")
        << QList<QByteArray>{"HND~ALICE1", "", "LOU~ALICE1"}
        << QStringList{"bad:HND~ALICE1", "msg:LOU~ALICE1"} << 0;
    QTest::newRow("last field split") << QList<QByteArray>{"CHPASS~BOB~2~newpa", "ss99"}
                                      << QStringList{"msg:CHPASS~BOB~2~newpass99"} << 0;
    QTest::newRow("destination code split")
        << QList<QByteArray>{"SND~A1~hi~B2~L2", "A", "HND~A1~1"}
        << QStringList{"msg:SND~A1~hi~B2~L2A", "msg:HND~A1~1"} << 0;
    QTest::newRow("destination code ends the message at once")
        << QList<QByteArray>{"SND~A1~hi~B2~L2S", "HND~A1~1"}
        << QStringList{"msg:SND~A1~hi~B2~L2S", "msg:HND~A1~1"} << 0;
    QTest::newRow("next part starts with a command word")
        << QList<QByteArray>{"SND~ALICE1~", "LOU~BOB2~NOONE"}
        << QStringList{"msg:SND~ALICE1~LOU~BOB2~NOONE"} << 0;
    QTest::newRow("too many fields")
        << QList<QByteArray>{"SND~A1~a~b~B2~NOONE"} << QStringList{"bad:SND~A1~a~b~B2~NOONE"} << 0;
    QTest::newRow("too many fields then a good message")
        << QList<QByteArray>{"LOU~A1~extraHND~A1~1"}
        << QStringList{"bad:LOU~A1~extra", "msg:HND~A1~1"} << 0;
    QTest::newRow("unknown command alone")
        << QList<QByteArray>{"HELLO~there"} << QStringList{"junk:HELLO~there"} << 0;
    QTest::newRow("command words are case-sensitive")
        << QList<QByteArray>{"lou~A1"} << QStringList{"junk:lou~A1"} << 0;
    QTest::newRow("garbage before a message")
        << QList<QByteArray>{QByteArray("\x01\xff\x00zz", 5) + "LOU~A1"}
        << QStringList{QStringLiteral("junk:") + QString::fromLatin1("\x01\xff\x00zz", 5),
                       "msg:LOU~A1"}
        << 0;
    QTest::newRow("garbage keeps what may start a command")
        << QList<QByteArray>{"\x90\x91HN", "D~A1~1"}
        << QStringList{QString::fromLatin1("junk:\x90\x91"), "msg:HND~A1~1"} << 0;
    QTest::newRow("command word without separator is not a message")
        << QList<QByteArray>{"LOU"} << QStringList{} << 3;
    QTest::newRow("Western code page text passes unchanged")
        << QList<QByteArray>{"SND~A1~caf\xe9 \xa3\x35~B2~NOONE"}
        << QStringList{QString::fromLatin1("msg:SND~A1~caf\xe9 \xa3\x35~B2~NOONE")} << 0;
}

void TestInboundSplitter::splitsReads()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, pieces);
    QFETCH(int, pending);

    InboundSplitter splitter;
    QList<InboundPiece> out;
    for (const QByteArray& read : reads) {
        if (read.isEmpty())
            splitter.settle(out);
        else
            splitter.feed(read, out);
    }
    splitter.settle(out);
    QStringList got;
    for (const InboundPiece& piece : out)
        got.append(describe(piece));
    QCOMPARE(got, pieces);
    QCOMPARE(int(splitter.pendingSize()), pending);
}

void TestInboundSplitter::dropsAnUnfinishedMessageBeyondTheLimit()
{
    InboundSplitter splitter(1024);
    QList<InboundPiece> out;
    splitter.feed("SND~ALICE1~" + QByteArray(600, 'x'), out);
    QVERIFY(out.isEmpty());
    splitter.feed(QByteArray(600, 'y'), out);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out[0].kind, InboundPiece::Overflow);
    QCOMPARE(int(out[0].text.size()), 1211);
    QCOMPARE(int(splitter.pendingSize()), 0);
}

void TestInboundSplitter::recoversAfterOverflow()
{
    InboundSplitter splitter(64);
    QList<InboundPiece> out;
    splitter.feed("SND~A1~" + QByteArray(100, 'x'), out);
    out.clear();
    splitter.feed("HND~A1~1", out);
    splitter.settle(out);
    QCOMPARE(out.size(), 1);
    QCOMPARE(describe(out[0]), QStringLiteral("msg:HND~A1~1"));

    // The first bytes of the next message at the very end of the dropped read survive.
    out.clear();
    splitter.feed("SND~A1~" + QByteArray(100, 'x') + "LO", out);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out[0].kind, InboundPiece::Overflow);
    out.clear();
    splitter.feed("U~A1", out);
    splitter.settle(out);
    QCOMPARE(out.size(), 1);
    QCOMPARE(describe(out[0]), QStringLiteral("msg:LOU~A1"));
}

QTEST_GUILESS_MAIN(TestInboundSplitter)
#include "tst_inboundsplitter.moc"
