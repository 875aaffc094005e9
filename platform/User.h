#pragma once
// Facts about the logged-on user, and about other users and groups.
#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvado {

// The login name of the user running this process (from the password database); false when it has none.
bool GetLogonUserName(std::string& name);

// The user's documents folder: $XDG_DOCUMENTS_DIR, else the entry of ~/.config/user-dirs.dirs, else
// $HOME/Documents; empty when there is no home folder. Without a trailing "/".
std::string UserDocumentsFolder();

// The program's folder in the user's data: $XDG_DATA_HOME/kelvado when XDG_DATA_HOME is an absolute path,
// else $HOME/.local/share/kelvado, else kelvado-<uid> in the temporary folder. Not created here.
std::string UserDataFolder();

// The language of the user's messages, as the locale environment names it (LC_ALL, else LC_MESSAGES, else
// LANG; the first that is set and not empty): the language the locale gives as its own where it is installed
// ("de" for "de_AT.UTF-8" and for the alias "deutsch"), else the language part of its name in lower case; empty
// for the "C" and "POSIX" locales and when none is set.
std::string UserMessageLanguage();

// The user's home folder: $HOME, else the password database; empty when neither gives one.
std::string UserHomeFolder();

// The name of a user or a group as the system knows it; its number where it has none.
std::string UserNameOf(uid_t uid);
std::string GroupNameOf(gid_t gid);
// The groups a user is in (its own group first), as the group database lists them: also for a user who is not
// logged on. Empty for a user the system does not know.
std::vector<gid_t> GroupsOfUser(uid_t uid);

}  // namespace kelvado
