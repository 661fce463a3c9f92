// Permission bits.
#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace lectora::files
{

std::filesystem::path fromUtf8(std::string_view utf8)
{
    return std::filesystem::path(std::string(utf8));
}

void createPrivate(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    // The umask may have left more, or an older file may be open to all.
    const bool ok = ::fchmod(fd, 0600) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot make " + file.string() + " private: " + std::strerror(err));
}

void writeNewPrivate(const std::filesystem::path& file, const std::string& text)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + file.string() + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(file.c_str());
            throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, 0600);
    if (::close(fd) != 0)
        throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(errno));
}

bool readableByOthers(const std::filesystem::path& file)
{
    struct stat st {
    };
    return ::stat(file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool readableByEveryone(const std::filesystem::path& file)
{
    struct stat st {
    };
    return ::stat(file.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

std::filesystem::path privateTemporaryFolder(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a private temporary folder: " +
                                 std::string(std::strerror(errno)));
    return pattern;
}

bool writable(const std::filesystem::path& folder)
{
    return ::access(folder.c_str(), W_OK) == 0;
}

FolderSharing folderSharing(const std::filesystem::path& folder, std::string& why)
{
    struct stat st {
    };
    if (::stat(folder.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return FolderSharing::Unreadable;
    }
    if ((st.st_mode & 077) == 0)
        return FolderSharing::Private;
    if (st.st_uid != ::geteuid() || (st.st_mode & S_ISVTX))
        return FolderSharing::Shared;
    return FolderSharing::Open;
}

bool restrictFolder(const std::filesystem::path& folder, std::string& why)
{
    if (::chmod(folder.c_str(), 0700) == 0)
        return true;
    why = std::strerror(errno);
    return false;
}

} // namespace lectora::files
