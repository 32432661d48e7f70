#include "directory/UserDirectory.h"

#include "app/Seams.h"
#include "app/SessionState.h"
#include "directory/RecipientControls.h"

#include <QAbstractItemView>
#include <QListWidget>

namespace wispline
{

namespace
{

// The level is the address's last character read as a number; a character that is not a
// digit cannot be read that way and stops the whole message, as a type mismatch would.
constexpr int kTypeMismatch = 13;
const QString kTrailer = QStringLiteral("ExitEnd");
const QString kTypeMismatchText = QStringLiteral("Type mismatch");

struct Address {
    QString name;
    int level = 0;
};

bool splitAddress(const QString& field, Address* out)
{
    const QChar last = field.at(field.size() - 1);
    if (last < QLatin1Char('0') || last > QLatin1Char('9'))
        return false;
    out->name = field.left(field.size() - 1);
    out->level = last.unicode() - '0';
    return true;
}

int findExact(const QListWidget* list, const QString& name)
{
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text() == name)
            return i;
    }
    return -1;
}

} // namespace

void configureLevelList(QListWidget* list)
{
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    list->setSortingEnabled(true);
}

UserDirectory::UserDirectory(QListWidget* lstLevel1, QListWidget* lstLevel2, QListWidget* lstLevel3)
    : lists_{lstLevel1, lstLevel2, lstLevel3}
{
}

UserDirectory::UserDirectory(const RecipientControls& controls)
    : UserDirectory(controls.lstLevel1, controls.lstLevel2, controls.lstLevel3)
{
}

QListWidget* UserDirectory::listForLevel(int level) const
{
    if (level < 1 || level > 3)
        return nullptr;
    return lists_[level - 1];
}

void UserDirectory::AddUsers(const QString& messageText)
{
    const QString ownAddress = session().UserName + session().UserLevel;
    const QStringList fields = messageText.split(QLatin1Char('~'));
    for (const QString& field : fields) {
        if (field.isEmpty() || field == kTrailer)
            continue;
        if (field == QLatin1String("USRS") || field == ownAddress)
            continue;
        Address address;
        if (!splitAddress(field, &address)) {
            showErrorBox(kTypeMismatch, kTypeMismatchText, QStringLiteral("Add Users"));
            return;
        }
        QListWidget* list = listForLevel(address.level);
        if (!list)
            continue;
        if (findExact(list, address.name) >= 0)
            continue;
        list->addItem(new LevelEntry(address.name));
    }
}

void UserDirectory::RemoveUsers(const QString& messageText)
{
    const QStringList fields = messageText.split(QLatin1Char('~'));
    for (const QString& field : fields) {
        if (field.isEmpty() || field == QLatin1String("LGO") || field == kTrailer)
            continue;
        Address address;
        if (!splitAddress(field, &address)) {
            showErrorBox(kTypeMismatch, kTypeMismatchText, QStringLiteral("Remove Users"));
            return;
        }
        QListWidget* list = listForLevel(address.level);
        if (!list)
            continue;
        const int row = findExact(list, address.name);
        if (row >= 0)
            delete list->takeItem(row);
    }
}

void UserDirectory::clear()
{
    for (QListWidget* list : lists_)
        list->clear();
}

} // namespace wispline
