#pragma once
// Parses the text of a SQL batch into statements. This server understands
// procedure calls (EXECUTE / EXEC / a bare name first) with literal arguments
// and accepts SET statements; anything else is reported as a syntax error for
// the session to answer, never thrown. A statement ends at a semicolon, or at
// a line break that a statement's first word follows; comments count as blanks.

#include "server/ProcedureHost.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lectora::server::tds
{

struct BatchArgument {
    std::string name; // "@Serie" when written as @Serie = value, else ""
    Value value;
    // "@P1" when the value is a variable (only sp_executesql declares any).
    std::string variable;
    // Where the value is written in the statement text (quotes excluded), so
    // that the journal can mask it.
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Statement {
    enum class Kind { Call, Set, Error };
    Kind kind = Kind::Error;
    std::string text;      // as written (comments too), without surrounding blanks
    std::size_t begin = 0; // offset of `text` in the batch
    std::string procedure; // as written, brackets removed, ";1" kept
    std::vector<BatchArgument> args;
    ServerError error; // Kind::Error: 102 syntax, 105 unclosed quote
};

std::vector<Statement> parseBatch(std::string_view batch);

// The batch with every comment ("-- to the line's end", "/* nested */")
// turned into blanks of the same length, so that offsets into it are offsets
// into the batch as sent. `unclosed` is set when a block comment never ends.
std::string withoutComments(std::string_view batch, bool& unclosed);

// Names declared in a parameter list such as "@P1 varchar(30),@P2 decimal(9,2)".
std::vector<std::string> declaredNames(std::string_view declaration);

} // namespace lectora::server::tds
