#pragma once
// An inbound handler that writes down every call with its arguments, in order, as
// "Name(arg|arg)". Shared by the dispatcher's tests and its fuzz harness.
#include "link/InboundDispatcher.h"

#include <QStringList>

namespace wispline::test
{

class RecordingHandler final : public InboundHandler
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
    void add(const char* name, const QStringList& args)
    {
        calls << QLatin1String(name) + u'(' + args.join(u'|') + u')';
    }
};

} // namespace wispline::test
