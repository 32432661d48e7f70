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
        RecordingHandler handler;
        dispatchInbound(InboundMessage(command, chunk, before.size(), element.size()), handler);
        QCOMPARE(handler.calls, calls);
    }
};

QTEST_APPLESS_MAIN(tst_InboundDispatcher)
#include "tst_inbounddispatcher.moc"
