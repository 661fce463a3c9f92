// What files need alike on every platform.
#include "platform/Files.h"

#include <stdexcept>
#include <string>
#include <system_error>

namespace lectora::files
{

namespace
{

void checkPrivate(const std::filesystem::path& dir, const std::string& named,
                  const std::string& user)
{
    std::string why;
    switch (folderSharing(dir, why)) {
    case FolderSharing::Private:
        return;
    case FolderSharing::Unreadable:
        throw std::runtime_error("cannot read " + named + ": " + why);
    case FolderSharing::Shared:
        throw std::runtime_error(named + " is shared with other users; give " + user +
                                 " a folder of its own");
    case FolderSharing::Open:
        if (!restrictFolder(dir, why))
            throw std::runtime_error("cannot make " + named + " private: " + why);
        return;
    }
}

} // namespace

void makePrivateFolder(const std::filesystem::path& dir, const std::string& what,
                       const std::string& user)
{
    const std::string named = "the " + what + " " + dir.string();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("cannot create " + named + ": " + ec.message());
    if (!std::filesystem::is_directory(dir))
        throw std::runtime_error(named + " is not a folder");
    if (!writable(dir))
        throw std::runtime_error(named + " is not writable");
    checkPrivate(dir, named, user);
}

void rotateNumbered(const std::filesystem::path& file, int keep)
{
    const auto numbered = [&file](int n) {
        std::filesystem::path p = file;
        p += "." + std::to_string(n);
        return p;
    };
    std::error_code ec;
    std::filesystem::remove(numbered(keep), ec);
    for (int n = keep - 1; n >= 1; --n)
        std::filesystem::rename(numbered(n), numbered(n + 1), ec);
    std::filesystem::rename(file, numbered(1), ec);
}

} // namespace lectora::files
