#pragma once
// The system's own words for a Windows error number (Windows units only).

#include <string>

namespace lectora::windows
{

std::string errorText(unsigned long error);

} // namespace lectora::windows
