// Command texts as the windows spell them. Values are quoted with inner
// quotes doubled: a scanned code can never end its own argument early.
#include "data/CommandText.h"

CommandText::CommandText(const QString& head) : m_text(head) {}

CommandText& CommandText::quoted(const QString& value, const QString& separator)
{
    return append(quote(value), separator);
}

CommandText& CommandText::bare(const QString& value, const QString& separator)
{
    return append(value, separator);
}

QString CommandText::quote(const QString& value)
{
    QString doubled = value;
    doubled.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + doubled + QLatin1Char('\'');
}

CommandText& CommandText::append(const QString& piece, const QString& separator)
{
    m_text += (m_args == 0 ? QStringLiteral(" ") : separator) + piece;
    ++m_args;
    return *this;
}
