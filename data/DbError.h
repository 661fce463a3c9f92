#pragma once
// The error a command raises: server errors, lost connections, a command that
// returned no result set, a column missing from the result, a value that the
// connection cannot carry unchanged. Its text is what the operator is shown.

#include <QString>
#include <stdexcept>

class DbError : public std::runtime_error {
public:
    enum class Kind { Server, ConnectionLost, NoResultSet, MissingColumn, Conversion, Other };

    DbError(Kind kind, const QString& text, int nativeCode = 0)
        : std::runtime_error(text.toStdString()), m_kind(kind), m_text(text), m_native(nativeCode)
    {
    }
    Kind kind() const { return m_kind; }
    QString text() const { return m_text; }
    int nativeCode() const { return m_native; }

private:
    Kind m_kind;
    QString m_text;
    int m_native;
};
