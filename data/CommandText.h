#pragma once
// Builds one command text: keyword, procedure name, then the arguments with
// the separators each window spells out, e.g.
//   CommandText("EXECUTE sp_Kvr_GuardaUbicacion").quoted(pallet)
//       .quoted(label, ", ").quoted(location, ", ").bare(idPersona, ", ").text()
//   == "EXECUTE sp_Kvr_GuardaUbicacion 'P1', 'L1', 'A-01', 7"
// A single quote inside a value is doubled, so a scanned code always arrives
// at the server as one argument with exactly its own characters.

#include <QString>

class CommandText {
public:
    // `head` is the keyword and the procedure name, e.g. "EXECUTE sp_KVR_ValidaPallet".
    explicit CommandText(const QString& head);

    // Appends a value between single quotes. The first argument follows the
    // head after one blank and ignores `separator`.
    CommandText& quoted(const QString& value, const QString& separator = QStringLiteral(","));
    // Appends a value as it is, without quotes (the operator id).
    CommandText& bare(const QString& value, const QString& separator = QStringLiteral(","));

    QString text() const { return m_text; }
    operator QString() const { return m_text; }

    // 'value' with inner quotes doubled.
    static QString quote(const QString& value);

private:
    CommandText& append(const QString& piece, const QString& separator);
    QString m_text;
    int m_args = 0;
};
