// The way in for accounts kept in an organisation's directory: the account as the directory
// gave it, stored; a log-on the directory could not check, held until it can; a password change
// made there.
#include "base/ServerLog.h"
#include "routing/MessageServerClient.h"

namespace wispline::server
{

void MessageServer::setDirectory(int recheckSeconds, DirectoryPasswordChange change)
{
    directoryRecheckSeconds_ = recheckSeconds;
    directoryChange_ = std::move(change);
}

void MessageServer::keepDirectoryAccount(Account& account)
{
    std::optional<Account> before;
    switch (store_.keepDirectoryAccount(account, &before)) {
    case StoreResult::Ok:
        if (!before)
            logLine(QStringLiteral("account %1 taken from the directory, level %2%3")
                        .arg(account.name)
                        .arg(account.level)
                        .arg(account.supervisor.isEmpty()
                                 ? QString()
                                 : QStringLiteral(", supervisor %1").arg(account.supervisor)));
        else if (before->level != account.level || before->supervisor != account.supervisor)
            logLine(QStringLiteral("account %1: the directory now gives level %2%3 (was %4%5)")
                        .arg(account.name)
                        .arg(account.level)
                        .arg(account.supervisor.isEmpty()
                                 ? QString()
                                 : QStringLiteral(", supervisor %1").arg(account.supervisor))
                        .arg(before->level)
                        .arg(before->supervisor.isEmpty()
                                 ? QString()
                                 : QStringLiteral(", supervisor %1").arg(before->supervisor)));
        break;
    case StoreResult::Exists:
        // Made here meanwhile: the account of this server wins from the next log-on on.
        logLine(QStringLiteral("account %1 was added here while the directory checked it; the "
                               "local one is kept")
                    .arg(account.name));
        break;
    default:
        // The log-on goes on with what the directory said; the next one stores it.
        logLine(QStringLiteral("could not store the directory's account %1: %2")
                    .arg(account.name, store_.lastError()));
        break;
    }
}

void MessageServer::holdForDirectory(Client* client, const PasswordCheck& check,
                                     const QList<QByteArray>& fields)
{
    // Neither let in nor refused: asked again shortly, as a log-on held for the database is, and
    // the connection's later input waits behind it.
    if (!std::exchange(client->heldForDirectory, true) && mayLog(client))
        logLine(QStringLiteral("#%1: log-on of %2 held: the directory %3")
                    .arg(client->id)
                    .arg(shown(check.userName), check.note));
    routeLater(client, fields);
}

void MessageServer::changeDirectoryPassword(Client* client, const QByteArray& newPassword)
{
    auto change = std::make_shared<PasswordChange>();
    change->userName = fromWire(client->name);
    change->oldPassword = client->password;
    change->newPassword = newPassword;
    offThread(
        client, [change, work = directoryChange_] { work(*change); },
        [this, change, level = client->level](Client* c) {
            if (change->outcome != PasswordChange::Outcome::Changed) {
                if (mayLog(c) && !change->note.isEmpty())
                    logLine(QStringLiteral("%1: the directory did not change the password: %2")
                                .arg(c->who(), change->note));
                refusePasswordChange(c, fromWire(change->outcome == PasswordChange::Outcome::Refused
                                                     ? change->refusal
                                                     : kPasswordNotChanged));
                return;
            }
            if (mayLog(c))
                logLine(QStringLiteral("%1: password changed in the directory").arg(c->who()));
            // The session, the day's messages and the next log-on go with the new one. A new
            // salt voids what was made of the old one: its verifier, a check just done.
            c->password = change->newPassword;
            Account account;
            account.name = change->userName;
            account.level = level;
            account.directory = true;
            if (store_.renewDirectorySalt(account.name, &account.salt) != StoreResult::Ok)
                logLine(QStringLiteral("%1: could not renew the account after the password "
                                       "change: %2")
                            .arg(c->who(), store_.lastError()));
            else if (!verifierKey_.isEmpty())
                store_.keepVerifier(
                    account.name, Verifiers::verifierOf(verifierKey_, account, change->newPassword),
                    verifierKeyId_);
            send(c, frame({"CHPASS", kPasswordChanged, "S", change->newPassword}));
        },
        true);
}

} // namespace wispline::server
