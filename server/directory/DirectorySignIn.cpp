#include "directory/DirectorySignIn.h"

#include "base/ServerRules.h"
#include "directory/Directory.h"
#include "store/ServerStore.h"

namespace wispline::server
{
namespace
{

// Wire bytes (the clients' code page) as the directory reads them.
QByteArray utf8(const QByteArray& wire)
{
    return fromWire(wire).toUtf8();
}

} // namespace

FullCheck directoryFullCheck(Directory& directory, const ServerStore& store)
{
    return [&directory, &store](PasswordCheck& check) {
        if (check.account && !check.account->directory) {
            check.matches = store.passwordMatches(check.account, check.password);
            if (check.matches && check.outdated)
                check.renewed = store.hashPassword(check.password);
            return;
        }
        const Directory::Answer answer = directory.check(check.userName, utf8(check.password));
        check.note = answer.note;
        switch (answer.kind) {
        case Directory::Answer::Kind::Accepted: {
            Account account;
            account.name = normalizeUserName(check.userName);
            account.level = answer.level;
            account.supervisor = answer.supervisor;
            account.directory = true;
            check.account = account;
            check.found = true;
            check.matches = true;
            break;
        }
        case Directory::Answer::Kind::Refused:
            check.matches = false;
            break;
        case Directory::Answer::Kind::Unanswered:
            check.unanswered = true;
            break;
        }
    };
}

DirectoryPasswordChange directoryPasswordChange(Directory& directory)
{
    return [&directory](PasswordChange& change) {
        switch (directory.changePassword(change.userName, utf8(change.oldPassword),
                                         utf8(change.newPassword), &change.note)) {
        case Directory::Change::Changed:
            change.outcome = PasswordChange::Outcome::Changed;
            break;
        case Directory::Change::Refused:
            change.outcome = PasswordChange::Outcome::Refused;
            change.refusal = QByteArrayLiteral("The directory did not accept the new password. "
                                               "Please choose another.");
            break;
        case Directory::Change::WrongPassword:
            change.outcome = PasswordChange::Outcome::Refused;
            change.refusal = QByteArrayLiteral("Your password was changed in the directory since "
                                               "you logged on. Please log on again.");
            break;
        case Directory::Change::Unanswered:
            change.outcome = PasswordChange::Outcome::Unanswered;
            break;
        }
    };
}

} // namespace wispline::server
