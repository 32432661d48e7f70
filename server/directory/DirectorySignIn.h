#pragma once
// The directory as the way in sees it: the full check of a log-on and a password change, run on
// the check workers.
#include "routing/PasswordCheck.h"

namespace wispline::server
{

class Directory;
class ServerStore;

// A local account with a password of its own is checked here, by the key derivation: it wins
// over a directory user of the same name, so an administrator gets in while the directory is
// down. Any other name is the directory's: accepted with the level and supervisor it gives,
// refused, or left unanswered (the log-on then waits for it).
FullCheck directoryFullCheck(Directory& directory, const ServerStore& store);
// The password-modify operation in the directory, as the user.
DirectoryPasswordChange directoryPasswordChange(Directory& directory);

} // namespace wispline::server
