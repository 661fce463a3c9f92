#include "server/tds/SecretMask.h"

#include "server/AsciiCase.h"
#include "server/Journal.h"

namespace lectora::server::tds
{

bool SecretMask::isSecret(std::string_view procedure, std::size_t position) const
{
    return m_registry && m_registry->isSecret(procedure, position, {});
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

std::string SecretMask::batch(std::string text, const std::vector<Statement>& statements) const
{
    // From the end, so that each replacement leaves the offsets before it valid.
    for (auto st = statements.rbegin(); st != statements.rend(); ++st) {
        if (st->kind == Statement::Kind::Call) {
            for (std::size_t i = st->args.size(); i-- > 0;) {
                if (!isSecret(st->procedure, i))
                    continue;
                const auto& a = st->args[i];
                if (a.variable.empty())
                    text.replace(st->begin + a.begin, a.end - a.begin, Journal::kMask);
            }
        } else if (st->kind == Statement::Kind::Error) {
            const std::size_t cut = secretProcedureEnd(st->text);
            if (cut != std::string::npos)
                text.replace(st->begin + cut, st->text.size() - cut,
                             " " + std::string(Journal::kMask));
        }
    }
    return text;
}

std::vector<Value> SecretMask::values(std::string_view procedure, std::vector<Value> values) const
{
    for (std::size_t i = 0; i < values.size(); ++i)
        if (isSecret(procedure, i) && !values[i].isNull())
            values[i] = Value(Journal::kMask);
    return values;
}

std::vector<std::string> SecretMask::secretsOf(std::string_view procedure,
                                               const std::vector<Value>& values) const
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (isSecret(procedure, i) && !values[i].isNull())
            out.push_back(values[i].toText());
    return out;
}

} // namespace lectora::server::tds
