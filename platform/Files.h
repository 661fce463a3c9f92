#pragma once
// Files and folders that only their owner may read: data folders, keys,
// journals, password files. What "only its owner" means is the platform's
// business (permission bits here, access control lists on Windows); callers
// say what they want and word the errors for their users.

#include <filesystem>
#include <string>
#include <string_view>

namespace lectora::files
{

// A path from UTF-8 text, right on every platform (Windows paths are wide).
std::filesystem::path fromUtf8(std::string_view utf8);

// Opens `file`, creating it empty when missing, and leaves it readable and
// writable by its owner only. Throws std::runtime_error saying why not.
void createPrivate(const std::filesystem::path& file);

// Creates `file`, which must not exist yet, private from its first moment,
// holding `text`. Throws std::runtime_error; nothing is left behind.
void writeNewPrivate(const std::filesystem::path& file, const std::string& text);

// True when someone other than the owner (and the system's administrators)
// may read `file`: a group or other users.
bool readableByOthers(const std::filesystem::path& file);
// True when every local user may read `file`.
bool readableByEveryone(const std::filesystem::path& file);

// A new, empty folder under the system's temporary folder that only this
// user can enter, named `prefix` and a random part. Throws std::runtime_error.
std::filesystem::path privateTemporaryFolder(const std::string& prefix);

// Makes `dir` (and its parents) when missing and leaves it private to its
// owner; a folder shared with others (sticky, like /tmp, or someone else's)
// is not changed but refused. `what` names it in the errors ("data folder"),
// `user` is who should get one of its own ("the server"). Throws
// std::runtime_error.
void makePrivateFolder(const std::filesystem::path& dir, const std::string& what,
                       const std::string& user);

// Moves `file` to FILE.1, the older FILE.1 to FILE.2 and on, and deletes the
// one past `keep`; whatever cannot be moved stays where it is (a log or
// journal goes on growing rather than stopping its program).
void rotateNumbered(const std::filesystem::path& file, int keep);

// Whether the folder can take files of this process.
bool writable(const std::filesystem::path& folder);

enum class FolderSharing {
    Private,   // only its owner gets in
    Open,      // ours, but others may look in: can be made private
    Shared,    // someone else's, or a common one like /tmp: leave it alone
    Unreadable // its state cannot be read (`why` says why)
};
FolderSharing folderSharing(const std::filesystem::path& folder, std::string& why);
// Lets only the owner in; false with `why` when it cannot.
bool restrictFolder(const std::filesystem::path& folder, std::string& why);

} // namespace lectora::files
