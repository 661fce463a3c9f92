#include "server/tds/Batch.h"

#include "server/AsciiCase.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace lectora::server::tds
{

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool isWordChar(char c)
{
    auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '@' || c == '#' || c == '$' || u >= 0x80;
}

// Statements this server does not run; a bare word among them is not a
// procedure name.
bool isReservedWord(std::string_view w)
{
    static constexpr std::string_view words[] = {
        "select", "insert",     "update", "delete",   "with",     "declare",  "if",
        "begin",  "end",        "create", "alter",    "drop",     "use",      "print",
        "return", "while",      "commit", "rollback", "merge",    "truncate", "grant",
        "revoke", "raiserror",  "throw",  "waitfor",  "goto",     "open",     "fetch",
        "close",  "deallocate", "save",   "break",    "continue", "else",     "go"};
    return std::any_of(std::begin(words), std::end(words),
                       [&](std::string_view k) { return equalsNoCase(k, w); });
}

ServerError syntaxError(std::string_view near)
{
    std::string n(near.substr(0, 40));
    return ServerError{102, 15, 1,
                       n.empty() ? "Incorrect syntax near the end of the statement."
                                 : "Incorrect syntax near '" + n + "'."};
}

} // namespace

std::string withoutComments(std::string_view s, bool& unclosed)
{
    std::string out(s);
    unclosed = false;
    bool quote = false;
    bool bracket = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        const char next = i + 1 < out.size() ? out[i + 1] : '\0';
        if (quote || bracket) {
            if ((quote && c == '\'') || (bracket && c == ']'))
                quote = bracket = false;
        } else if (c == '\'' || c == '[') {
            quote = c == '\'';
            bracket = c == '[';
        } else if (c == '-' && next == '-') {
            for (; i < out.size() && out[i] != '\n' && out[i] != '\r'; ++i)
                out[i] = ' ';
            --i;
        } else if (c == '/' && next == '*') {
            int depth = 0;
            for (; i < out.size(); ++i) {
                if (out[i] == '/' && i + 1 < out.size() && out[i + 1] == '*') {
                    ++depth;
                    out[i++] = ' ';
                } else if (out[i] == '*' && i + 1 < out.size() && out[i + 1] == '/') {
                    out[i++] = ' ';
                    if (--depth == 0) {
                        out[i] = ' ';
                        break;
                    }
                }
                out[i] = ' ';
            }
            unclosed = depth > 0;
        }
    }
    return out;
}

namespace
{

// Whether the word at `at` starts a statement of its own.
bool startsStatement(std::string_view s, std::size_t at)
{
    std::size_t e = at;
    while (e < s.size() && isWordChar(s[e]))
        ++e;
    const std::string_view w = s.substr(at, e - at);
    return equalsNoCase(w, "exec") || equalsNoCase(w, "execute") || equalsNoCase(w, "set") ||
           isReservedWord(w);
}

// Splits at semicolons, and at line breaks that a statement's first word
// follows, outside quotes and brackets: a call may spread its arguments over
// lines. A ';' right after a name and before a digit is a procedure group
// ("sp_x;1"). A doubled quote inside quotes is a quote (its pair is skipped).
struct Piece {
    std::size_t begin;
    std::size_t end;
    bool unclosedQuote;
};

std::vector<Piece> splitStatements(std::string_view s)
{
    std::vector<Piece> pieces;
    std::size_t start = 0;
    bool quote = false;
    bool bracket = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '\'') {
                if (i + 1 < s.size() && s[i + 1] == '\'')
                    ++i;
                else
                    quote = false;
            }
            continue;
        }
        if (bracket) {
            if (c == ']')
                bracket = false;
            continue;
        }
        if (c == '\'') {
            quote = true;
        } else if (c == '[') {
            bracket = true;
        } else if (c == '\n' || c == '\r') {
            // The blanks up to the next word are skipped at once, so that a
            // text of many line breaks is read once.
            std::size_t next = i + 1;
            while (next < s.size() && isBlank(s[next]))
                ++next;
            if (startsStatement(s, next)) {
                pieces.push_back({start, i, false});
                start = i + 1;
            }
            i = next - 1;
        } else if (c == ';' &&
                   !(i > 0 && (isWordChar(s[i - 1]) || s[i - 1] == ']') && i + 1 < s.size() &&
                     std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            pieces.push_back({start, i, false});
            start = i + 1;
        }
    }
    pieces.push_back({start, s.size(), quote});
    return pieces;
}

class StatementParser
{
public:
    // `text` is the statement with its comments blanked out.
    StatementParser(Statement& st, std::string_view text) : m_st(st), m_s(text) {}

    void parse()
    {
        std::string_view first = word();
        if (equalsNoCase(first, "set")) {
            m_st.kind = Statement::Kind::Set;
            return;
        }
        if (equalsNoCase(first, "exec") || equalsNoCase(first, "execute")) {
            if (m_i < m_s.size() && !isBlank(m_s[m_i]) && m_s[m_i] != '[')
                return fail(syntaxError(first));
            blanks();
            if (!procedureName())
                return fail(syntaxError(nearHere()));
        } else {
            m_i = 0;
            if (first.empty() || isReservedWord(first) || !procedureName())
                return fail(syntaxError(first.empty() ? nearHere() : first));
        }
        blanks();
        if (m_i < m_s.size() && !arguments())
            return;
        m_st.kind = Statement::Kind::Call;
    }

private:
    Statement& m_st;
    std::string_view m_s;
    std::size_t m_i = 0;

    void fail(ServerError e)
    {
        m_st.kind = Statement::Kind::Error;
        m_st.error = std::move(e);
        m_st.args.clear();
    }

    void blanks()
    {
        while (m_i < m_s.size() && isBlank(m_s[m_i]))
            ++m_i;
    }

    std::string_view word()
    {
        std::size_t b = m_i;
        while (m_i < m_s.size() && isWordChar(m_s[m_i]))
            ++m_i;
        return m_s.substr(b, m_i - b);
    }

    std::string_view nearHere()
    {
        std::size_t b = m_i;
        std::size_t e = b;
        while (e < m_s.size() && !isBlank(m_s[e]) && (e == b || m_s[e] != ','))
            ++e;
        return m_s.substr(b, e - b);
    }

    // [dbo].[name];1 or dbo.name or name
    bool procedureName()
    {
        std::string name;
        for (;;) {
            if (m_i < m_s.size() && m_s[m_i] == '[') {
                auto close = m_s.find(']', m_i);
                if (close == std::string_view::npos || close == m_i + 1)
                    return false;
                name.append(m_s.substr(m_i + 1, close - m_i - 1));
                m_i = close + 1;
            } else {
                auto w = word();
                if (w.empty() || w[0] == '@')
                    return false;
                name.append(w);
            }
            if (m_i < m_s.size() && m_s[m_i] == '.') {
                name.push_back('.');
                ++m_i;
                continue;
            }
            break;
        }
        if (m_i + 1 < m_s.size() && m_s[m_i] == ';' &&
            std::isdigit(static_cast<unsigned char>(m_s[m_i + 1]))) {
            std::size_t b = m_i++;
            while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i])))
                ++m_i;
            name.append(m_s.substr(b, m_i - b));
        }
        if (m_i < m_s.size() && !isBlank(m_s[m_i]) && m_s[m_i] != '\'' && m_s[m_i] != ';')
            return false;
        m_st.procedure = std::move(name);
        return true;
    }

    bool arguments()
    {
        for (;;) {
            if (!argument())
                return false;
            blanks();
            if (m_i >= m_s.size())
                return true;
            if (m_s[m_i] == ';' && m_i + 1 == m_s.size())
                return true;
            if (m_s[m_i] != ',') {
                fail(syntaxError(nearHere()));
                return false;
            }
            ++m_i;
            blanks();
            if (m_i >= m_s.size() || m_s[m_i] == ',') {
                fail(syntaxError(","));
                return false;
            }
        }
    }

    bool argument()
    {
        BatchArgument a;
        if (m_i < m_s.size() && m_s[m_i] == '@') {
            const std::size_t at = m_i;
            auto n = word();
            blanks();
            if (m_i >= m_s.size() || m_s[m_i] != '=') {
                m_i = at;
                return variable(a);
            }
            ++m_i;
            blanks();
            a.name = std::string(n);
        }
        if (m_i < m_s.size() && m_s[m_i] == '@')
            return variable(a);
        if (m_i >= m_s.size()) {
            fail(syntaxError(""));
            return false;
        }
        if ((m_s[m_i] == 'N' || m_s[m_i] == 'n') && m_i + 1 < m_s.size() && m_s[m_i + 1] == '\'')
            ++m_i;
        if (!(m_s[m_i] == '\'' ? quotedValue(a) : bareValue(a)))
            return false;
        // OUTPUT after an argument has no meaning without variables; accept and ignore it.
        std::size_t save = m_i;
        blanks();
        auto w = word();
        if (!(equalsNoCase(w, "output") || equalsNoCase(w, "out")))
            m_i = save;
        m_st.args.push_back(std::move(a));
        return true;
    }

    // "@P1": a value sp_executesql supplies.
    bool variable(BatchArgument& a)
    {
        const std::size_t at = m_i;
        auto n = word();
        if (n.size() < 2) {
            fail(syntaxError(n));
            return false;
        }
        a.variable = std::string(n);
        a.begin = at;
        a.end = m_i;
        m_st.args.push_back(std::move(a));
        return true;
    }

    bool quotedValue(BatchArgument& a)
    {
        std::string v;
        a.begin = ++m_i;
        for (;;) {
            if (m_i >= m_s.size()) {
                // The splitter already caught an unclosed quote; this is defensive.
                fail(
                    ServerError{105, 15, 1, "Unclosed quotation mark after the character string."});
                return false;
            }
            if (m_s[m_i] == '\'') {
                if (m_i + 1 < m_s.size() && m_s[m_i + 1] == '\'') {
                    v.push_back('\'');
                    m_i += 2;
                    continue;
                }
                break;
            }
            v.push_back(m_s[m_i++]);
        }
        a.end = m_i++;
        a.value = std::move(v);
        return true;
    }

    bool bareValue(BatchArgument& a)
    {
        a.begin = m_i;
        while (m_i < m_s.size() && !isBlank(m_s[m_i]) && m_s[m_i] != ',' && m_s[m_i] != '\'' &&
               !(m_s[m_i] == ';' && m_i + 1 == m_s.size()))
            ++m_i;
        a.end = m_i;
        std::string_view tok = m_s.substr(a.begin, a.end - a.begin);
        if (tok.empty()) {
            fail(syntaxError(nearHere()));
            return false;
        }
        a.value = literal(tok);
        return true;
    }

    static Value literal(std::string_view tok)
    {
        if (equalsNoCase(tok, "null"))
            return {};
        std::string_view digits = tok;
        if (!digits.empty() && (digits[0] == '-' || digits[0] == '+'))
            digits.remove_prefix(1);
        const bool numeric =
            !digits.empty() &&
            std::all_of(
                digits.begin(), digits.end(),
                [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }) &&
            std::count(digits.begin(), digits.end(), '.') <= 1 && digits != ".";
        if (numeric) {
            std::string_view t = tok[0] == '+' ? tok.substr(1) : tok;
            if (t.find('.') == std::string_view::npos) {
                std::int64_t v = 0;
                auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
                if (ec == std::errc() && p == t.data() + t.size())
                    return v;
            }
            double d = 0;
            auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
            if (ec == std::errc() && p == t.data() + t.size())
                return d;
        }
        // A bare word is taken as a string, as SQL Server does for procedure arguments.
        return std::string(tok);
    }
};

} // namespace

std::vector<Statement> parseBatch(std::string_view sent)
{
    bool unclosedComment = false;
    const std::string batch = withoutComments(sent, unclosedComment);
    std::vector<Statement> out;
    if (unclosedComment) {
        // Nothing of a batch that cannot be read to its end runs.
        Statement st;
        st.begin = 0;
        while (st.begin < batch.size() && isBlank(batch[st.begin]))
            ++st.begin;
        // To the end: the comment is part of what the mask may cut.
        st.text = std::string(sent.substr(st.begin));
        st.error = ServerError{113, 15, 1, "Missing end comment mark '*/'."};
        out.push_back(std::move(st));
        return out;
    }
    for (const Piece& p : splitStatements(batch)) {
        std::string_view s = std::string_view(batch).substr(p.begin, p.end - p.begin);
        std::size_t b = 0;
        while (b < s.size() && isBlank(s[b]))
            ++b;
        std::size_t e = s.size();
        while (e > b && isBlank(s[e - 1]))
            --e;
        if (b == e)
            continue;
        const std::string_view clean = s.substr(b, e - b);
        Statement st;
        st.begin = p.begin + b;
        st.text = std::string(sent.substr(st.begin, clean.size()));
        if (p.unclosedQuote) {
            const auto q = clean.rfind('\'');
            st.kind = Statement::Kind::Error;
            st.error = ServerError{105, 15, 1,
                                   "Unclosed quotation mark after the character string '" +
                                       std::string(clean.substr(q + 1, 40)) + "'."};
            out.push_back(std::move(st));
            continue;
        }
        StatementParser(st, clean).parse();
        out.push_back(std::move(st));
    }
    return out;
}

// Names declared in a parameter list such as "@P1 varchar(30),@P2 decimal(9,2)".
std::vector<std::string> declaredNames(std::string_view declaration)
{
    std::vector<std::string> names;
    int depth = 0;
    bool expectName = true;
    for (std::size_t i = 0; i < declaration.size(); ++i) {
        const char c = declaration[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            depth = std::max(depth - 1, 0);
        } else if (c == ',' && depth == 0) {
            expectName = true;
        } else if (c == '@' && expectName) {
            std::size_t e = i + 1;
            while (
                e < declaration.size() &&
                (std::isalnum(static_cast<unsigned char>(declaration[e])) || declaration[e] == '_'))
                ++e;
            names.emplace_back(declaration.substr(i, e - i));
            expectName = false;
            i = e - 1;
        }
    }
    return names;
}

} // namespace lectora::server::tds
