#pragma once
// The ODBC connection string one connection is opened with, derived from the
// installation's settings for the driver family that will read it. Each
// family spells the same settings with its own keys; what a family cannot
// express is refused up front (refusal()), so that a site is told at start
// rather than connected less safely than its profile asks. It opens nothing.

#include "data/ConnectionSettings.h"

#include <QString>
#include <optional>

class OdbcString
{
public:
    // WindowsBuiltIn: the "SQL Server" driver every Windows ships.
    enum class Family { FreeTds, Microsoft17, Microsoft18, WindowsBuiltIn, Other };

    // Why these settings cannot be given to their driver (empty: they can),
    // and which profile key that is about.
    struct Refusal {
        QString key;
        QString reason;
    };

    OdbcString(const ConnectionSettings& settings, const QString& catalogue);

    static Family familyOf(const QString& driver);
    static std::optional<Refusal> refusal(const ConnectionSettings& settings);

    // The string for SQLDriverConnect; empty when a value cannot be written
    // in it unchanged (see problem()).
    QString text() const { return m_text; }
    // Set when a value cannot be carried: the connection must not be tried.
    QString problem() const { return m_problem; }
    // QODBC connect options this family needs besides the string.
    QString connectOptions() const { return m_options; }
    // FreeTDS reads a CA file and the certificate name check only from a
    // server section of its own configuration file: the section's text, to be
    // written where FREETDSCONF points, and named kFreeTdsSection.
    QString freeTdsConfiguration() const { return m_freeTdsConf; }
    static const QString kFreeTdsSection;

    // A value as `family` reads it between '=' and ';'; nullopt when it cannot.
    static std::optional<QString> value(Family family, const QString& value);

private:
    void buildFreeTds(const ConnectionSettings& s, const QString& catalogue);
    void buildMicrosoft(const ConnectionSettings& s, const QString& catalogue, Family family);
    void buildOther(const ConnectionSettings& s, const QString& catalogue);
    QString put(Family family, const QString& key, const QString& value);

    QString m_text;
    QString m_problem;
    QString m_options;
    QString m_freeTdsConf;
};
