// The procedure host: value conversions, the registry and the call runner.
// Conversions follow what SQL Server does when a procedure's value is cast to
// varchar or int, because the terminal compares texts it reads exactly.
#include "server/ProcedureHost.h"

#include "server/AsciiCase.h"
#include "server/Database.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace lectora::server
{

namespace
{

std::string_view withoutAt(std::string_view s)
{
    if (!s.empty() && s.front() == '@')
        s.remove_prefix(1);
    return s;
}

// Float to varchar as SQL Server's default style does: at most six significant
// digits, scientific notation with a three-digit exponent when needed.
std::string floatText(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "Inf" : "-Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    std::string s(buf);
    const auto e = s.find('e');
    if (e == std::string::npos)
        return s;
    // "1.23457e+08" -> "1.23457e+008"
    std::string mantissa = s.substr(0, e + 2);
    std::string digits = s.substr(e + 2);
    while (digits.size() < 3)
        digits.insert(digits.begin(), '0');
    return mantissa + digits;
}

// varchar to int as SQL Server converts it: blanks around the number are
// allowed, an empty or blank text is 0, anything else but an optional sign
// and digits fails.
std::optional<std::int64_t> textToInt(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    if (b == e)
        return 0;
    bool negative = false;
    if (s[b] == '+' || s[b] == '-') {
        negative = s[b] == '-';
        ++b;
        if (b == e)
            return std::nullopt;
    }
    // Accumulate as a negative number so that the minimum value fits.
    std::int64_t value = 0;
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = b; i < e; ++i) {
        const char c = s[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == min)
            return std::nullopt;
        value = -value;
    }
    return value;
}

} // namespace

std::string Value::toText() const
{
    if (const auto* i = std::get_if<std::int64_t>(&data))
        return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&data))
        return floatText(*d);
    if (const auto* s = std::get_if<std::string>(&data))
        return *s;
    return {};
}

std::optional<std::int64_t> Value::toInt() const
{
    if (const auto* i = std::get_if<std::int64_t>(&data))
        return *i;
    if (const auto* d = std::get_if<double>(&data)) {
        // Casting a float to int truncates toward zero.
        if (!std::isfinite(*d) || *d >= 9.2233720368547758e18 || *d < -9.2233720368547758e18)
            return std::nullopt;
        return static_cast<std::int64_t>(std::trunc(*d));
    }
    if (const auto* s = std::get_if<std::string>(&data))
        return textToInt(*s);
    return 0;
}

ResultSet ResultSet::texts(std::vector<std::string> names)
{
    ResultSet rs;
    rs.columns.reserve(names.size());
    for (auto& n : names)
        rs.columns.push_back(Column{std::move(n), ColumnType::Text});
    return rs;
}

ResultSet& ResultSet::row(std::vector<Value> values)
{
    // A short row is padded with nulls so that every row matches the columns.
    if (values.size() < columns.size())
        values.resize(columns.size());
    rows.push_back(std::move(values));
    return *this;
}

const Value& Call::arg(std::size_t i) const
{
    static const Value null;
    if (i < params.size())
        return arg(params[i]);
    return i < args.size() ? args[i].value : null;
}

const Value& Call::arg(std::string_view name) const
{
    static const Value null;
    const auto wanted = withoutAt(name);
    for (const auto& a : args) {
        if (equalsNoCase(withoutAt(a.name), wanted))
            return a.value;
    }
    return null;
}

bool Call::has(std::string_view name) const
{
    const auto wanted = withoutAt(name);
    for (const auto& a : args)
        if (equalsNoCase(withoutAt(a.name), wanted))
            return true;
    return false;
}

std::string ProcedureRegistry::key(std::string_view name)
{
    // Drop the group number: "sp_X;1" -> "sp_X".
    if (const auto semi = name.rfind(';'); semi != std::string_view::npos)
        name = name.substr(0, semi);
    // Keep the last part of a multi-part name ("db.dbo.sp_X", "[dbo].[sp_X]"),
    // ignoring dots inside brackets.
    std::size_t start = 0;
    bool bracket = false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '[')
            bracket = true;
        else if (name[i] == ']')
            bracket = false;
        else if (name[i] == '.' && !bracket)
            start = i + 1;
    }
    name = name.substr(start);
    while (!name.empty() && name.front() == ' ')
        name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return toLowerAscii(name);
}

void ProcedureRegistry::add(Procedure p)
{
    std::unique_lock lock(m_mutex);
    auto k = key(p.name);
    m_builtin[std::move(k)] = std::move(p);
}

void ProcedureRegistry::script(const std::string& name, ProcedureBody body,
                               std::vector<std::string> params)
{
    std::unique_lock lock(m_mutex);
    // A script without its own parameter list keeps the built-in one, so that
    // arguments still get their declared names.
    const auto k = key(name);
    std::vector<std::string> secrets;
    if (auto it = m_builtin.find(k); it != m_builtin.end()) {
        if (params.empty())
            params = it->second.params;
        // A script answers in the procedure's place; its password stays a secret.
        secrets = it->second.secrets;
    }
    m_scripted[k] = Procedure{name, std::move(params), std::move(body), std::move(secrets)};
}

bool ProcedureRegistry::isSecret(std::string_view procedure, std::size_t position,
                                 std::string_view name) const
{
    const auto p = find(procedure);
    if (!p || p->secrets.empty())
        return false;
    const auto among = [](const std::vector<std::string>& names, std::string_view wanted) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return equalsNoCase(withoutAt(n), withoutAt(wanted));
        });
    };
    if (name.empty())
        return position < p->params.size() && among(p->secrets, p->params[position]);
    // A name the procedure does not declare may be its secret misspelt.
    return among(p->secrets, name) || !among(p->params, name);
}

std::vector<std::string> ProcedureRegistry::withSecrets() const
{
    std::shared_lock lock(m_mutex);
    std::vector<std::string> out;
    for (const auto* map : {&m_builtin, &m_scripted})
        for (const auto& [k, p] : *map)
            if (!p.secrets.empty())
                out.push_back(k);
    return out;
}

void ProcedureRegistry::unscript(const std::string& name)
{
    std::unique_lock lock(m_mutex);
    m_scripted.erase(key(name));
}

void ProcedureRegistry::clearScripts()
{
    std::unique_lock lock(m_mutex);
    m_scripted.clear();
}

std::optional<Procedure> ProcedureRegistry::find(std::string_view name) const
{
    const auto k = key(name);
    std::shared_lock lock(m_mutex);
    if (auto it = m_scripted.find(k); it != m_scripted.end())
        return it->second;
    if (auto it = m_builtin.find(k); it != m_builtin.end())
        return it->second;
    return std::nullopt;
}

ProcedureHost::ProcedureHost(ProcedureRegistry& registry,
                             std::function<Database*(std::string_view)> catalogue)
    : m_registry(registry), m_catalogue(std::move(catalogue))
{
}

std::optional<ServerError> ProcedureHost::bind(Call& call, const Procedure& procedure)
{
    call.params = procedure.params;
    const std::string& shown = procedure.name;
    bool named = false;
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        Argument& a = call.args[i];
        if (a.name.empty()) {
            if (named)
                return ServerError{119, 15, 1,
                                   "Must pass parameter number " + std::to_string(i + 1) +
                                       " and subsequent parameters as '@name = value'. After the "
                                       "form '@name = value' has been used, all subsequent "
                                       "parameters must be passed in the form '@name = value'."};
            if (i < procedure.params.size())
                a.name = procedure.params[i];
            continue;
        }
        named = true;
        // A procedure declared without parameters (a test's script) takes any name.
        const bool declared =
            procedure.params.empty() ||
            std::any_of(procedure.params.begin(), procedure.params.end(), [&](const auto& p) {
                return equalsNoCase(withoutAt(p), withoutAt(a.name));
            });
        if (!declared)
            return ServerError{8145, 16, 2,
                               a.name + " is not a parameter for procedure " + shown + "."};
        for (std::size_t j = 0; j < i; ++j)
            if (equalsNoCase(withoutAt(call.args[j].name), withoutAt(a.name)))
                return ServerError{8143, 16, 1,
                                   "Parameter '" + a.name + "' was supplied multiple times."};
    }
    return std::nullopt;
}

Reply ProcedureHost::run(Call& call)
{
    auto procedure = m_registry.find(call.procedure);
    if (!procedure) {
        std::string_view shown = call.procedure;
        if (const auto semi = shown.rfind(';'); semi != std::string_view::npos)
            shown = shown.substr(0, semi);
        return Reply::fail("Could not find stored procedure '" + std::string(shown) + "'.", 2812);
    }

    if (std::optional<ServerError> refused = bind(call, *procedure)) {
        Reply r;
        r.error = std::move(refused);
        return r;
    }

    if (!call.db && m_catalogue)
        call.db = m_catalogue(call.catalogue);

    Reply reply;
    try {
        std::unique_lock<std::mutex> lock;
        if (call.db)
            lock = std::unique_lock(call.db->mutex());
        reply = procedure->body(call);
    } catch (const std::exception& e) {
        return Reply::fail(e.what());
    } catch (...) {
        return Reply::fail("The procedure " + procedure->name + " failed.");
    }

    // Outputs the procedure left alone go back as they came in, under the
    // spelling the client's declared name uses.
    for (const auto& a : call.args) {
        if (!a.output || a.name.empty())
            continue;
        auto found = reply.outputs.end();
        for (auto it = reply.outputs.begin(); it != reply.outputs.end(); ++it) {
            if (equalsNoCase(withoutAt(it->first), withoutAt(a.name))) {
                found = it;
                break;
            }
        }
        if (found == reply.outputs.end()) {
            reply.outputs.emplace(a.name, a.value);
        } else if (found->first != a.name) {
            Value v = std::move(found->second);
            reply.outputs.erase(found);
            reply.outputs.emplace(a.name, std::move(v));
        }
    }
    return reply;
}

} // namespace lectora::server
