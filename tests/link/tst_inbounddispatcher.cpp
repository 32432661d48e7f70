#include "link/InboundDispatcher.h"

#include <QTest>

using namespace wispline;
using wispline::wire::InboundMessage;

namespace
{

// Writes down every call, with its arguments, in order.
class RecordingHandler : public InboundHandler
{
public:
    QStringList calls;

    void onLogonAccepted(const QString& level) override { add("LogonAccepted", {level}); }
    void onHandshake() override { add("Handshake", {}); }
    void onLogonRefused(const QString& reason) override { add("LogonRefused", {reason}); }
    void onUsersConnected(const QString& text) override { add("UsersConnected", {text}); }
    void onOfflineMessage(const QString& text) override { add("OfflineMessage", {text}); }
    void onUsersGone(const QString& text) override { add("UsersGone", {text}); }
    void onPasswordReply(const QString& text, bool success, const QString& newPassword) override
    {
        add("PasswordReply", {text, success ? "success" : "failure", newPassword});
    }
    void onMessage(const QString& text) override { add("Message", {text}); }
    void onServerShutdown(const QString& text) override { add("ServerShutdown", {text}); }
    void onLoggedOnElsewhere(const QString& reason) override { add("LoggedOnElsewhere", {reason}); }
    void onVersionRefused(const QString& reason) override { add("VersionRefused", {reason}); }
    void onDownloadStart() override { add("DownloadStart", {}); }
    void onDownloadMessage(const QString& text) override { add("DownloadMessage", {text}); }
    void onDownloadEnd() override { add("DownloadEnd", {}); }
    void onDispatchError(int number, const QString& description) override
    {
        add("Error", {QString::number(number), description});
    }

private:
    void add(const QString& name, const QStringList& args)
    {
        calls << name + '(' + args.join(QLatin1Char('|')) + ')';
    }
};

} // namespace

class tst_InboundDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void dispatch_data();
    void dispatch();
    void fieldsOfAMessageCutFromALargerBuffer();
};

void tst_InboundDispatcher::dispatch_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QStringList>("calls");

    const QString missing = QStringLiteral("Error(9|Subscript out of range)");

    QTest::newRow("logon accepted")
        << QByteArray("LIU~x~2~ExitEnd") << QStringList{"LogonAccepted(2)"};
    QTest::newRow("logon with one field takes the trailer as level")
        << QByteArray("LIU~x~ExitEnd") << QStringList{"LogonAccepted(ExitEnd)"};
    QTest::newRow("logon with no field fails") << QByteArray("LIU~ExitEnd") << QStringList{missing};
    QTest::newRow("logon with empty level")
        << QByteArray("LIU~x~~ExitEnd") << QStringList{"LogonAccepted()"};
    QTest::newRow("handshake alone") << QByteArray("HND") << QStringList{"Handshake()"};
    QTest::newRow("handshake with fields")
        << QByteArray("HND~abc2~1") << QStringList{"Handshake()"};
    QTest::newRow("logon refused")
        << QByteArray("Invalid~No such user~ExitEnd") << QStringList{"LogonRefused(No such user)"};
    QTest::newRow("users connected get the whole text")
        << QByteArray("USRS~abc1~def2~ExitEnd")
        << QStringList{"UsersConnected(USRS~abc1~def2~ExitEnd)"};
    QTest::newRow("users gone get the whole text")
        << QByteArray("LGO~abc1~ExitEnd") << QStringList{"UsersGone(LGO~abc1~ExitEnd)"};
    QTest::newRow("offline message")
        << QByteArray("OffL~kept for you~ExitEnd") << QStringList{"OfflineMessage(kept for you)"};
    QTest::newRow("password changed") << QByteArray("CHPASS~Done~S~n3w~ExitEnd")
                                      << QStringList{"PasswordReply(Done|success|n3w)"};
    QTest::newRow("password change refused without a new password")
        << QByteArray("CHPASS~Wrong~F~ExitEnd") << QStringList{"PasswordReply(Wrong|failure|)"};
    QTest::newRow("password change success is case-sensitive")
        << QByteArray("CHPASS~Done~s~n3w~ExitEnd") << QStringList{"PasswordReply(Done|failure|)"};
    QTest::newRow("password changed takes the trailer as password")
        << QByteArray("CHPASS~Done~S~ExitEnd")
        << QStringList{"PasswordReply(Done|success|ExitEnd)"};
    QTest::newRow("password success without a new password fails")
        << QByteArray("CHPASS~Done~S") << QStringList{missing};
    QTest::newRow("password reply without a success field fails")
        << QByteArray("CHPASS~ExitEnd") << QStringList{missing};
    QTest::newRow("message") << QByteArray("SND~abc2 <x> hi [10:00]~ExitEnd")
                             << QStringList{"Message(abc2 <x> hi [10:00])"};
    QTest::newRow("message decoded from Latin-1")
        << QByteArray("SND~caf\xE9 \xA3\xFF~ExitEnd")
        << QStringList{QString::fromLatin1("Message(caf\xE9 \xA3\xFF)")};
    QTest::newRow("empty message") << QByteArray("SND~~ExitEnd") << QStringList{"Message()"};
    QTest::newRow("server shutdown")
        << QByteArray("SHT~going down~ExitEnd") << QStringList{"ServerShutdown(going down)"};
    QTest::newRow("logged on elsewhere")
        << QByteArray("OtLog~elsewhere~ExitEnd") << QStringList{"LoggedOnElsewhere(elsewhere)"};
    QTest::newRow("version refused")
        << QByteArray("Version~too old~ExitEnd") << QStringList{"VersionRefused(too old)"};
    QTest::newRow("download start")
        << QByteArray("ALLM~START~ExitEnd") << QStringList{"DownloadStart()"};
    QTest::newRow("download line") << QByteArray("ALLM~MSG~10:00 hello~ExitEnd")
                                   << QStringList{"DownloadMessage(10:00 hello)"};
    QTest::newRow("download line takes the trailer as text")
        << QByteArray("ALLM~MSG~ExitEnd") << QStringList{"DownloadMessage(ExitEnd)"};
    QTest::newRow("download line without text fails")
        << QByteArray("ALLM~MSG") << QStringList{missing};
    QTest::newRow("download end") << QByteArray("ALLM~END~ExitEnd") << QStringList{"DownloadEnd()"};
    QTest::newRow("download sub-command is case-sensitive")
        << QByteArray("ALLM~end~ExitEnd") << QStringList{};
    QTest::newRow("download sub-command must match exactly")
        << QByteArray("ALLM~ENDS~ExitEnd") << QStringList{};
    QTest::newRow("unknown download sub-command")
        << QByteArray("ALLM~STOP~ExitEnd") << QStringList{};
    QTest::newRow("unrecognised") << QByteArray("FOO~x~ExitEnd") << QStringList{};
}

void tst_InboundDispatcher::dispatch()
{
    // A message built from its element is recognised as the reassembler would; rows without a
    // trailer that still reach the handler stand for fields the handling reads but lacks.
    QFETCH(QByteArray, element);
    QFETCH(QStringList, calls);

    const InboundMessage recognised(element);
    const wire::Inbound command = recognised.command() != wire::Inbound::None
                                      ? recognised.command()
                                      : wire::recogniseWire(element + "~ExitEnd");
    RecordingHandler handler;
    dispatchInbound(InboundMessage(command, element, 0, element.size()), handler);
    QCOMPARE(handler.calls, calls);
}

void tst_InboundDispatcher::fieldsOfAMessageCutFromALargerBuffer()
{
    // The fields come from the message's own bytes, not from its neighbours in the chunk.
    const QByteArray chunk("SND~first~ExitEnd`LIU~x~`ALLM~MSG~last~ExitEnd`");
    RecordingHandler handler;
    dispatchInbound(InboundMessage(wire::Inbound::SND, chunk, 0, 17), handler);
    dispatchInbound(InboundMessage(wire::Inbound::LIU, chunk, 18, 6), handler);
    dispatchInbound(InboundMessage(wire::Inbound::LIU, chunk, 18, 5), handler);
    dispatchInbound(InboundMessage(wire::Inbound::ALLM, chunk, 25, 21), handler);
    dispatchInbound(InboundMessage(wire::Inbound::ALLM, chunk, 25, 8), handler);
    QCOMPARE(handler.calls,
             (QStringList{"Message(first)", "LogonAccepted()", "Error(9|Subscript out of range)",
                          "DownloadMessage(last)", "Error(9|Subscript out of range)"}));
}

QTEST_APPLESS_MAIN(tst_InboundDispatcher)
#include "tst_inbounddispatcher.moc"
