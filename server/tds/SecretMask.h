#pragma once
// What a session must never show of a call: in the journal's text and values,
// and in the messages it sends back. Which arguments are secret is declared
// with each procedure by name; the mask only asks the registry, so the
// protocol code holds no procedure's name. A call may pass a secret by
// position, by name in any order, or through a variable of sp_executesql.

#include "server/ProcedureHost.h"
#include "server/tds/Batch.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lectora::server::tds
{

class SecretMask
{
public:
    explicit SecretMask(const ProcedureRegistry* registry) : m_registry(registry) {}

    // Whether the argument passed at `position` (0-based) of `procedure`,
    // under `name` ("" when by position), is secret.
    bool isSecret(std::string_view procedure, std::size_t position, std::string_view name) const;
    // Whether `text` names a procedure that has secrets: a statement too
    // broken to find its arguments in must still not show them.
    bool mentionsSecretProcedure(std::string_view text) const;
    // Whether any of `statements` names a procedure with secrets: then a
    // broken statement beside it may hold one of its arguments too.
    bool hasSecrets(const std::vector<Statement>& statements) const;
    // Whether running `statements` passes `variable` ("@p") to a secret
    // argument. When a statement that names a procedure with secrets is too
    // broken to tell, every variable is taken as secret.
    bool isSecretVariable(const std::vector<Statement>& statements,
                          std::string_view variable) const;

    // The batch text as the journal shows it: secret arguments replaced in
    // place, a statement too broken to find its arguments in cut after the
    // procedure's name, and in a batch that has secrets, any other broken
    // statement (a DECLARE among them), every comment and the value of every
    // variable's SET left out.
    std::string batch(std::string text, const std::vector<Statement>& statements) const;
    // The call's values with the secret ones replaced (nulls stay null).
    std::vector<Value> values(std::string_view procedure, const std::vector<Argument>& args) const;
    // The secret values of a call as text, to take out of what it answers.
    std::vector<std::string> secretsOf(std::string_view procedure,
                                       const std::vector<Argument>& args) const;

    // Replaces every occurrence of a secret in a message meant for the client
    // or the journal.
    static std::string withoutSecrets(std::string text, const std::vector<std::string>& secrets);

private:
    // Where the first procedure with secrets named in `text` ends, or npos.
    std::size_t secretProcedureEnd(std::string_view text) const;
    // Which of a call's arguments are secret. sp_executesql sent as a batch
    // statement carries its text first, its declaration second and then the
    // values, secret when its text passes them to a secret argument.
    std::vector<bool> secretArguments(std::string_view procedure,
                                      const std::vector<Argument>& args) const;
    // A statement text as the journal shows it.
    std::string maskedStatement(const std::string& text) const;
    std::string maskedCall(std::string text, const Statement& st) const;

    const ProcedureRegistry* m_registry;
};

} // namespace lectora::server::tds
