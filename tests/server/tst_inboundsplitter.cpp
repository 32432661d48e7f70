// Cutting a client's byte stream into messages.
#include "net/InboundSplitter.h"

#include <QTest>

using wispline::server::InboundPiece;
using wispline::server::InboundSplitter;

namespace
{

// Each piece as kind:text. An empty read stands for the settle time passing; it also passes
// after the last read.
QStringList split(InboundSplitter& splitter, const QList<QByteArray>& reads)
{
    static const char* const kinds[] = {"msg", "bad", "junk", "overflow"};
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
        got.append(QLatin1String(kinds[piece.kind]) + u':' + QString::fromLatin1(piece.text));
    return got;
}

} // namespace

class TestInboundSplitter : public QObject
{
    Q_OBJECT
private slots:
    void splitsReads_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<int>("pending");
        const auto row = [](const char* tag, const QList<QByteArray>& reads,
                            const QStringList& pieces,
                            int pending = 0) { QTest::newRow(tag) << reads << pieces << pending; };
        row("every command run together",
            {"LIU~A~p~1.1.1~MACHND~A1~1LOU~A1ALLMsgs~A1~p~1.1.1CHPASS~A~1~nSND~A1~t~B2~L2A"},
            {"msg:LIU~A~p~1.1.1~MAC", "msg:HND~A1~1", "msg:LOU~A1", "msg:ALLMsgs~A1~p~1.1.1",
             "msg:CHPASS~A~1~n", "msg:SND~A1~t~B2~L2A"});
        row("command word inside the text is not a boundary", {"SND~ALICE1~ask LIU~BOB2~NOONE"},
            {"msg:SND~ALICE1~ask LIU~BOB2~NOONE"});
        row("empty last field before the next message", {"LOU~SND~A1~x~B2~NOONE"},
            {"msg:LOU~", "msg:SND~A1~x~B2~NOONE"});
        row("split inside the command word", {"CHP", "ASS~BOB~2~new"}, {"msg:CHPASS~BOB~2~new"});
        row("waits for the missing fields", {"SND~ALICE1~hi"}, {}, 13);
        row("short message ended by a write after the settle time",
            {"HND~ALICE1", "", "LOU~ALICE1"}, {"bad:HND~ALICE1", "msg:LOU~ALICE1"});
        row("last field split", {"CHPASS~BOB~2~newpa", "ss99"}, {"msg:CHPASS~BOB~2~newpass99"});
        row("destination code split", {"SND~A1~hi~B2~L2", "A", "HND~A1~1"},
            {"msg:SND~A1~hi~B2~L2A", "msg:HND~A1~1"});
        // A late segment (a retransmission) may bring the rest of the code after the settle time;
        // the next command word ends the wait.
        row("destination code split past the settle time",
            {"SND~A1~hi~B2~L2", "", "A", "SND~A1~x~B2~N", "", "HND~A1~1"},
            {"msg:SND~A1~hi~B2~L2A", "msg:SND~A1~x~B2~N", "msg:HND~A1~1"});
        row("empty destination code past the settle time", {"SND~A1~hi~B2~", "", "NOONE"},
            {"msg:SND~A1~hi~B2~NOONE"});
        row("destination code ends the message at once", {"SND~A1~hi~B2~L2S", "HND~A1~1"},
            {"msg:SND~A1~hi~B2~L2S", "msg:HND~A1~1"});
        row("next part starts with a command word", {"SND~ALICE1~", "LOU~BOB2~NOONE"},
            {"msg:SND~ALICE1~LOU~BOB2~NOONE"});
        row("too many fields then a good message", {"LOU~A1~extraHND~A1~1"},
            {"bad:LOU~A1~extra", "msg:HND~A1~1"});
        row("command words are case-sensitive", {"lou~A1"}, {"junk:lou~A1"});
        row("garbage keeps what may start a command", {"\x90\x91HN", "D~A1~1"},
            {QString::fromLatin1("junk:\x90\x91"), "msg:HND~A1~1"});
        row("command word without separator is not a message", {"LOU"}, {}, 3);
        row("Western code page text passes unchanged", {"SND~A1~caf\xe9 \xa3\x35~B2~NOONE"},
            {QString::fromLatin1("msg:SND~A1~caf\xe9 \xa3\x35~B2~NOONE")});
    }

    void splitsReads()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, pieces);
        QFETCH(int, pending);
        InboundSplitter splitter;
        QCOMPARE(split(splitter, reads), pieces);
        QCOMPARE(int(splitter.pendingSize()), pending);
    }

    // An unfinished message past the limit is dropped whole, over several reads too; the first
    // bytes of the next message at the very end of the dropped read survive.
    void dropsAnUnfinishedMessageBeyondTheLimit()
    {
        InboundSplitter splitter(64);
        QCOMPARE(split(splitter, {"SND~A1~" + QByteArray(40, 'x')}), QStringList());
        const QStringList got = split(splitter, {QByteArray(60, 'y') + "LO", "U~A1"});
        QCOMPARE(got.size(), 2);
        QCOMPARE(got[0], "overflow:SND~A1~" + QString(40, u'x') + QString(60, u'y'));
        QCOMPARE(got[1], u"msg:LOU~A1");
        QCOMPARE(int(splitter.pendingSize()), 0);
    }
};

QTEST_GUILESS_MAIN(TestInboundSplitter)
#include "tst_inboundsplitter.moc"
