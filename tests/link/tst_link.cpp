// The link layer below the window: the wire format, reassembly and dispatch.
#include "RecordingHandler.h"
#include "link/InboundDispatcher.h"
#include "link/Reassembler.h"
#include "link/WireProtocol.h"

#include <QTest>

using namespace wispline;
using namespace wispline::wire;

Q_DECLARE_METATYPE(wispline::wire::Inbound)

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

} // namespace

class tst_Link : public QObject
{
    Q_OBJECT

private slots:
    // The wire format: building, recognising, decoding.
    void builders_data()
    {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");

        QTest::newRow("logon upper-cases the name only")
            << buildLogon("abc", "pW~x", "1.1.1", "00-1A-2B-3C-4D-5E")
            << "LIU~ABC~pW~x~1.1.1~00-1A-2B-3C-4D-5E";
        QTest::newRow("logon keeps letters whose capital is not one byte")
            << buildLogon(QString::fromLatin1("j\xE9r\xF4me\xDF\xFF"), "p", "1.1.1", "m")
            << QString::fromLatin1("LIU~J\xC9R\xD4ME\xDF\xFF~p~1.1.1~m");
        QTest::newRow("handshake") << buildHandshake("abc2") << "HND~abc2~1";
        QTest::newRow("logout") << buildLogout("abc2") << "LOU~abc2";
        QTest::newRow("send to users") << buildSend("abc2", "Meeting at 10", "def3,ghi3", "NOONE")
                                       << "SND~abc2~Meeting at 10~def3,ghi3~NOONE";
        QTest::newRow("send to a level keeps inner spaces")
            << buildSend("abc1", " a  b ", "NOONE", "L3A") << "SND~abc1~ a  b ~NOONE~L3A";
        QTest::newRow("all messages joins upper name and level")
            << buildAllMessages("abc", "2", "pw", "1.1.1") << "ALLMsgs~ABC2~pw~1.1.1";
        QTest::newRow("change password keeps the name as it is")
            << buildChangePassword("abc", "2", "n3w") << "CHPASS~abc~2~n3w";
    }

    void builders()
    {
        QFETCH(QString, built);
        QFETCH(QString, expected);
        QCOMPARE(built, expected);
    }

    void recognise_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Inbound>("command");

        // Each word of the catalogue is recognised in the dispatcher's rows; here the edges.
        QTest::newRow("LIU with no field") << "LIU~ExitEnd" << Inbound::LIU;
        QTest::newRow("HND alone") << "HND" << Inbound::HND;

        QTest::newRow("trailer glued to field") << "SND~hiExitEnd" << Inbound::None;
        QTest::newRow("trailer not last") << "SND~ExitEnd~hi" << Inbound::None;
        QTest::newRow("trailer wrong case") << "SND~hi~exitend" << Inbound::None;
        QTest::newRow("command wrong case") << "snd~hi~ExitEnd" << Inbound::None;
        QTest::newRow("HND with suffix") << "HNDX~abc2" << Inbound::None;
        QTest::newRow("command with space") << " SND~hi~ExitEnd" << Inbound::None;
        QTest::newRow("outbound word") << "ALLMsgs~ABC2~pw~ExitEnd" << Inbound::None;
        QTest::newRow("unknown word") << "FOO~x~ExitEnd" << Inbound::None;
        QTest::newRow("empty") << "" << Inbound::None;
        // Only the first eight bytes can hold the end of a command word.
        QTest::newRow("word one byte too long") << "Versions~x~ExitEnd" << Inbound::None;
        QTest::newRow("short word, long message")
            << "LGO~" + QString(100, 'a') + "~ExitEnd" << Inbound::LGO;
    }

    void recognise()
    {
        QFETCH(QString, text);
        QFETCH(Inbound, command);
        QCOMPARE(wispline::wire::recognise(wispline::wire::splitFields(text)), command);
        // The byte-level tests used on received bytes must give the same answer.
        const QByteArray bytes = toWire(text);
        QCOMPARE(recogniseWire(bytes), command);
        const InboundMessage m(bytes);
        QCOMPARE(m.command(), command);
        QCOMPARE(m.raw(), QByteArrayView(bytes));
    }

    void ansiRoundTrip()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = fromWire(all);
        QCOMPARE(text.size(), all.size());
        QCOMPARE(toWire(text), all);
        // Latin-1 one to one, and the page's printable characters at 0x80-0x9F ("€" was "?").
        QCOMPARE(text.at(0xE9).unicode(), ushort(0xE9));
        QCOMPARE(toWire(QStringLiteral("\u20AC\u2018\u2019\u201C\u201D\u2013\u2014\u2026")),
                 QByteArray("\x80\x91\x92\x93\x94\x96\x97\x85"));
        QCOMPARE(fromWire("\x80\x9F"), QStringLiteral("\u20AC\u0178"));

        // A character beyond the page takes one byte ("?"), so the framing around it holds; a
        // surrogate pair is one character.
        QCOMPARE(toWire(QStringLiteral("a\u03A9b\U0001F600c")), QByteArray("a?b?c"));
    }

    // Putting messages together from chunks.
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
        Reassembler oneChunk;
        oneChunk.feed(stream);
        const QStringList whole = textsOf(takeAll(oneChunk));
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

    // Handing each recognised message to its handler.
    void dispatch_data()
    {
        QTest::addColumn<QByteArray>("element");
        QTest::addColumn<QStringList>("calls");

        const QString missing = QStringLiteral("Error(9|Subscript out of range)");
        auto row = [](const char* name, const QByteArray& element, const QStringList& calls) {
            QTest::newRow(name) << element << calls;
        };
        row("logon accepted", "LIU~x~2~ExitEnd", {"LogonAccepted(2)"});
        row("logon with one field takes the trailer as level", "LIU~x~ExitEnd",
            {"LogonAccepted(ExitEnd)"});
        row("logon with no field fails", "LIU~ExitEnd", {missing});
        row("handshake alone", "HND", {"Handshake()"});
        row("logon refused", "Invalid~No such user~ExitEnd", {"LogonRefused(No such user)"});
        row("users connected get the whole text", "USRS~abc1~def2~ExitEnd",
            {"UsersConnected(USRS~abc1~def2~ExitEnd)"});
        row("users gone get the whole text", "LGO~abc1~ExitEnd", {"UsersGone(LGO~abc1~ExitEnd)"});
        row("offline message", "OffL~kept for you~ExitEnd", {"OfflineMessage(kept for you)"});
        row("password changed", "CHPASS~Done~S~n3w~ExitEnd", {"PasswordReply(Done|success|n3w)"});
        row("password change refused without a new password", "CHPASS~Wrong~F~ExitEnd",
            {"PasswordReply(Wrong|failure|)"});
        row("password change success is case-sensitive", "CHPASS~Done~s~n3w~ExitEnd",
            {"PasswordReply(Done|failure|)"});
        row("password changed takes the trailer as password", "CHPASS~Done~S~ExitEnd",
            {"PasswordReply(Done|success|ExitEnd)"});
        row("password success without a new password fails", "CHPASS~Done~S", {missing});
        row("password reply without a success field fails", "CHPASS~ExitEnd", {missing});
        row("message", "SND~abc2 <x> hi [10:00]~ExitEnd", {"Message(abc2 <x> hi [10:00])"});
        row("server shutdown", "SHT~going down~ExitEnd", {"ServerShutdown(going down)"});
        row("logged on elsewhere", "OtLog~elsewhere~ExitEnd", {"LoggedOnElsewhere(elsewhere)"});
        row("version refused", "Version~too old~ExitEnd", {"VersionRefused(too old)"});
        row("download start", "ALLM~START~ExitEnd", {"DownloadStart()"});
        row("download line", "ALLM~MSG~10:00 hello~ExitEnd", {"DownloadMessage(10:00 hello)"});
        row("download line without text fails", "ALLM~MSG", {missing});
        row("download end", "ALLM~END~ExitEnd", {"DownloadEnd()"});
        row("download sub-command is case-sensitive", "ALLM~end~ExitEnd", {});
        row("download sub-command must match exactly", "ALLM~ENDS~ExitEnd", {});
        row("unrecognised", "FOO~x~ExitEnd", {});
    }

    void dispatch()
    {
        // A message built from its element is recognised as the reassembler would; rows without a
        // trailer that still reach the handler stand for fields the handling reads but lacks. The
        // element sits between neighbours in one chunk, and its fields come from its own bytes
        // only.
        QFETCH(QByteArray, element);
        QFETCH(QStringList, calls);

        const InboundMessage recognised(element);
        const wire::Inbound command = recognised.command() != wire::Inbound::None
                                          ? recognised.command()
                                          : wire::recogniseWire(element + "~ExitEnd");
        const QByteArray before("SND~before~ExitEnd`");
        const QByteArray chunk = before + element + "`ALLM~MSG~after~ExitEnd`";
        test::RecordingHandler handler;
        dispatchInbound(InboundMessage(command, chunk, before.size(), element.size()), handler);
        QCOMPARE(handler.calls, calls);
    }
};

QTEST_APPLESS_MAIN(tst_Link)
#include "tst_link.moc"
