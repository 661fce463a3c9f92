#pragma once
// What the procedures of the inbound, production and shipping windows share:
// arguments read as SQL Server compares codes, one-row status answers, the
// time stamp of a recording and the main catalogue's name. Each procedure
// file keeps its own rules; only these conventions are common.

#include "server/ProcedureHost.h"

#include <string>
#include <string_view>

namespace lectora::server::answers
{

inline constexpr std::string_view kMainCatalogue = "KV_NORDA_PREVENTA";

// SQLite's local time as the catalogue's date columns keep it.
inline constexpr const char* kNow = "strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime')";

// Argument `i` without its trailing blanks: SQL Server compares codes without
// them. Letter case is left to the tables, which are declared NOCASE.
inline std::string arg(const Call& call, std::size_t i)
{
    std::string s = call.text(i);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

// A status answer: Error and its description column, one row.
inline Reply status(const std::string& code, const std::string& text,
                    const std::string& textColumn = "ErrorDesc")
{
    return Reply::rows(ResultSet::texts({"Error", textColumn}).row({code, text}));
}

} // namespace lectora::server::answers
