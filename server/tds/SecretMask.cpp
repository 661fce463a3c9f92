#include "server/tds/SecretMask.h"

#include "server/AsciiCase.h"
#include "server/Journal.h"

#include <algorithm>
#include <cctype>

namespace lectora::server::tds
{

namespace
{

bool isExecuteSql(std::string_view procedure)
{
    return ProcedureRegistry::key(procedure) == "sp_executesql";
}

// Where sp_executesql's text and declaration are among its arguments: first
// and second, or wherever @stmt and @params name them.
std::pair<std::size_t, std::size_t> executeSqlParts(const std::vector<Argument>& args)
{
    std::size_t text = 0;
    std::size_t declaration = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (equalsNoCase(args[i].name, "@stmt"))
            text = i;
        else if (equalsNoCase(args[i].name, "@params"))
            declaration = i;
    }
    return {text, declaration};
}

// A value written back as the inside of a quoted literal.
std::string doubledQuotes(std::string_view value)
{
    std::string out;
    for (char c : value) {
        out.push_back(c);
        if (c == '\'')
            out.push_back('\'');
    }
    return out;
}

// Where the value of "SET @name = value" starts in the statement's text, or
// npos when the statement assigns no variable.
std::size_t assignedValue(std::string_view text)
{
    std::size_t at = 3; // past SET
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    if (at >= text.size() || text[at] != '@')
        return std::string_view::npos;
    const std::size_t equals = text.find('=', at);
    return equals == std::string_view::npos ? equals : equals + 1;
}

std::vector<Argument> asArguments(const std::vector<BatchArgument>& args)
{
    std::vector<Argument> out;
    out.reserve(args.size());
    for (const auto& a : args)
        out.push_back(Argument{a.name, a.value, false});
    return out;
}

} // namespace

bool SecretMask::isSecret(std::string_view procedure, std::size_t position,
                          std::string_view name) const
{
    return m_registry && m_registry->isSecret(procedure, position, name);
}

std::size_t SecretMask::secretProcedureEnd(std::string_view text) const
{
    if (!m_registry)
        return std::string::npos;
    const std::string lower = toLowerAscii(text);
    std::size_t first = std::string::npos;
    std::size_t end = std::string::npos;
    for (const std::string& key : m_registry->withSecrets()) {
        const std::size_t at = lower.find(key);
        if (at < first) {
            first = at;
            end = at + key.size();
        }
    }
    return end;
}

bool SecretMask::mentionsSecretProcedure(std::string_view text) const
{
    return secretProcedureEnd(text) != std::string::npos;
}

bool SecretMask::hasSecrets(const std::vector<Statement>& statements) const
{
    return std::any_of(statements.begin(), statements.end(),
                       [&](const Statement& st) { return mentionsSecretProcedure(st.text); });
}

bool SecretMask::isSecretVariable(const std::vector<Statement>& statements,
                                  std::string_view variable) const
{
    // A value with no name to follow is secret if the text has any.
    if (variable.empty())
        return hasSecrets(statements);
    for (const auto& st : statements) {
        if (st.kind == Statement::Kind::Error && mentionsSecretProcedure(st.text))
            return true;
        if (st.kind != Statement::Kind::Call)
            continue;
        // A text that runs sp_executesql in turn is not followed further.
        if (isExecuteSql(st.procedure) && mentionsSecretProcedure(st.text))
            return true;
        for (std::size_t i = 0; i < st.args.size(); ++i)
            if (equalsNoCase(st.args[i].variable, variable) &&
                isSecret(st.procedure, i, st.args[i].name))
                return true;
    }
    return false;
}

std::vector<bool> SecretMask::secretArguments(std::string_view procedure,
                                              const std::vector<Argument>& args) const
{
    std::vector<bool> secret(args.size(), false);
    if (!isExecuteSql(procedure)) {
        for (std::size_t i = 0; i < args.size(); ++i)
            secret[i] = isSecret(procedure, i, args[i].name);
        return secret;
    }
    const auto [textAt, declarationAt] = executeSqlParts(args);
    if (textAt >= args.size())
        return secret;
    const std::vector<Statement> statements = parseBatch(args[textAt].value.toText());
    const std::vector<std::string> declared =
        declarationAt < args.size() ? declaredNames(args[declarationAt].value.toText())
                                    : std::vector<std::string>{};
    std::size_t positional = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == textAt || i == declarationAt)
            continue;
        std::string variable = args[i].name;
        if (variable.empty() && positional < declared.size())
            variable = declared[positional];
        ++positional;
        secret[i] = isSecretVariable(statements, variable);
    }
    return secret;
}

std::string SecretMask::maskedStatement(const std::string& text) const
{
    return mentionsSecretProcedure(text) ? batch(text, parseBatch(text)) : text;
}

std::string SecretMask::withoutSecrets(std::string text, const std::vector<std::string>& secrets)
{
    for (const auto& s : secrets) {
        if (s.empty())
            continue;
        for (std::size_t at = text.find(s); at != std::string::npos;
             at = text.find(s, at + std::char_traits<char>::length(Journal::kMask)))
            text.replace(at, s.size(), Journal::kMask);
    }
    return text;
}

std::string SecretMask::maskedCall(std::string text, const Statement& st) const
{
    const std::vector<Argument> args = asArguments(st.args);
    const std::vector<bool> secret = secretArguments(st.procedure, args);
    const std::size_t textAt =
        isExecuteSql(st.procedure) ? executeSqlParts(args).first : args.size();
    for (std::size_t i = st.args.size(); i-- > 0;) {
        const auto& a = st.args[i];
        if (!a.variable.empty())
            continue;
        if (secret[i])
            text.replace(st.begin + a.begin, a.end - a.begin, Journal::kMask);
        else if (i == textAt)
            text.replace(st.begin + a.begin, a.end - a.begin,
                         doubledQuotes(maskedStatement(a.value.toText())));
    }
    return text;
}

std::string SecretMask::batch(std::string text, const std::vector<Statement>& statements) const
{
    // A comment beside a secret may repeat it.
    const bool secrets = hasSecrets(statements);
    if (secrets) {
        bool unclosed = false;
        text = withoutComments(text, unclosed);
    }
    // From the end, so that each replacement leaves the offsets before it valid.
    for (auto st = statements.rbegin(); st != statements.rend(); ++st) {
        if (st->kind == Statement::Kind::Call) {
            text = maskedCall(std::move(text), *st);
        } else if (st->kind == Statement::Kind::Set && secrets) {
            // A variable may carry a secret to the call: whatever the batch
            // assigns to any variable is not shown.
            const std::size_t value = assignedValue(st->text);
            if (value != std::string::npos)
                text.replace(st->begin + value, st->text.size() - value,
                             " " + std::string(Journal::kMask));
        } else if (st->kind == Statement::Kind::Error) {
            const std::size_t cut = secretProcedureEnd(st->text);
            if (cut != std::string::npos)
                text.replace(st->begin + cut, st->text.size() - cut,
                             " " + std::string(Journal::kMask));
            else if (secrets)
                text.replace(st->begin, st->text.size(), Journal::kMask);
        }
    }
    return text;
}

std::vector<Value> SecretMask::values(std::string_view procedure,
                                      const std::vector<Argument>& args) const
{
    const std::vector<bool> secret = secretArguments(procedure, args);
    const std::size_t textAt = isExecuteSql(procedure) ? executeSqlParts(args).first : args.size();
    std::vector<Value> out;
    out.reserve(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Value& v = args[i].value;
        if (secret[i] && !v.isNull())
            out.emplace_back(Journal::kMask);
        else if (i == textAt && !v.isNull())
            out.emplace_back(maskedStatement(v.toText()));
        else
            out.push_back(v);
    }
    return out;
}

std::vector<std::string> SecretMask::secretsOf(std::string_view procedure,
                                               const std::vector<Argument>& args) const
{
    const std::vector<bool> secret = secretArguments(procedure, args);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i)
        if (secret[i] && !args[i].value.isNull())
            out.push_back(args[i].value.toText());
    return out;
}

} // namespace lectora::server::tds
