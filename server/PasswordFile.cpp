#include "server/PasswordFile.h"

#include "platform/Files.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace lectora::server
{

std::string readPasswordFile(const std::filesystem::path& file)
{
    const std::string shown = "password file \"" + file.string() + "\"";
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(file, error);
    if (error || !std::filesystem::is_regular_file(status))
        throw std::runtime_error(shown + " cannot be read");
    if (files::readableByOthers(file))
        throw std::runtime_error(shown +
                                 " can be read by other users: allow only its owner (chmod 600)");
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (in)
        std::getline(in, line);
    if (!in.is_open() || in.bad())
        throw std::runtime_error(shown + " cannot be read");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        throw std::runtime_error(shown + " holds no password on its first line");
    return line;
}

} // namespace lectora::server
