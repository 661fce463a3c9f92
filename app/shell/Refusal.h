#pragma once
// How a recording's refusal reaches the operator: "Error: #" + code + "." +
// CR LF + description, both trimmed, in an error box captioned "Error". The
// delivery window's own validation speaks of an "Aviso" instead. Not for the
// fixed-text messages of the validations, which each window spells itself.

#include <QString>

class SharedQuery;

// "<word>: #<code>.\r\n<description>" with code and description trimmed.
QString refusalText(const QString& word, const QString& code, const QString& description);

// Shows the refusal in the current row of `answer` (its `Error` column, then
// `descriptionColumn`; a command with no row reads both as empty) in an error
// box captioned `word`. Throws DbError when a column is missing.
void showRefusal(const SharedQuery& answer,
                 const QString& descriptionColumn = QStringLiteral("ErrorDesc"),
                 const QString& word = QStringLiteral("Error"));
