#pragma once
// The connected users, one list per level. The lists are the only store: an entry is a plain
// user name and the list it sits in gives its level.
#include "directory/LevelList.h"

#include <QString>

class QListWidget;

namespace wispline
{

struct RecipientControls;

// The settings every level list needs: sorted entries, simple multi-select (a click toggles).
void configureLevelList(QListWidget* list);

class UserDirectory
{
public:
    UserDirectory(QListWidget* lstLevel1, QListWidget* lstLevel2, QListWidget* lstLevel3);
    explicit UserDirectory(const RecipientControls& controls);

    // A users-connected message as received (command word, addresses, trailer joined by "~").
    // Names already listed are left alone; the own address is skipped.
    void AddUsers(const QString& messageText);
    // A users-gone message as received. Removes the first exact match of each address.
    void RemoveUsers(const QString& messageText);
    // Empties the three lists (server shutdown).
    void clear();

    // The list of a level digit 1..3, nullptr for any other level.
    QListWidget* listForLevel(int level) const;

private:
    QListWidget* lists_[3];
};

} // namespace wispline
