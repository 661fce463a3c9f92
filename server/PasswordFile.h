#pragma once
// A password kept in a file of its own, so that it need not be written on a
// command line where every local user sees it. Not a store of several
// secrets: the first line is the password, the rest of the file is ignored.

#include <filesystem>
#include <string>

namespace lectora::server
{

// The first line of `file` (a trailing CR dropped). Throws std::runtime_error
// with a one-line reason when the file cannot be read, when its group or
// other users may read it, or when the line is empty.
std::string readPasswordFile(const std::filesystem::path& file);

} // namespace lectora::server
