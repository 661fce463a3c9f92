#pragma once
// Test fixture for the terminal: an in-process stand-in server (in-memory
// catalogues with the demo data), the data module pointed at it, the message
// service in scripted mode and a logged-in operator. Tests script procedures
// on server(), type as the scanner does with scan(), and look at journal()
// and MessageService::instance().shown().

#include "app/shell/MessageService.h"
#include "data/U_Data.h"
#include "server/EmbeddedServer.h"

#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>
#include <memory>

class QLineEdit;
class QMainWindow;
class QMdiArea;
class QMdiSubWindow;
class QWidget;
class WorkflowWindow;

class TerminalFixture
{
public:
    // Starts the server and the data module; the operator id is `operatorId`.
    explicit TerminalFixture(const QString& operatorId = QStringLiteral("7"));
    ~TerminalFixture();

    lectora::server::EmbeddedServer& server() { return m_server; }
    TDm_Velmor& dm() { return *m_dm; }
    ConnectionSettings settings() const;

    // Batch texts and RPC lines received since the last clearJournal(), in order.
    QStringList journal() const;
    void clearJournal();
    // The calls of `procedure` received since the last clearJournal(), with
    // their arguments (the name compares as the server compares it).
    std::vector<lectora::server::JournalEntry> calls(const char* procedure) const;

    // A loopback port where nothing listens (the system's pick, then let go).
    static int closedPort();

    // Types `text` into `field` key by key and presses Enter, as a scanner does.
    static void scan(QWidget* field, const QString& text);
    static void pressEnter(QWidget* field);
    // Puts the focus on `field` first, as the operator does before scanning into it.
    static void type(QWidget* field, const QString& text);

    // The object name of the focused widget ("" when nothing has the focus).
    static QString focusName();
    // The messages shown since the last clearMessages(), in order.
    static const QList<MessageService::Shown>& shown();

    // Object names of the visible captions (labels, buttons) under `window`
    // that do not show whole: narrower or lower than their text needs in the
    // font they are drawn with, or overlapped by a field beside them.
    static QStringList cutOffCaptions(const QWidget* window);

    // A status answer: the columns Error and `textColumn`, with one row unless
    // `code` is nullopt (then the command answers no row).
    static lectora::server::Reply status(const std::optional<std::string>& code,
                                         const std::string& description = "",
                                         const std::string& textColumn = "ErrorDesc");

    // Clears recorded messages and answers.
    static void clearMessages();

    // Opens `window` as the main window's workflow windows open: a maximised
    // MDI child captioned `caption`, in a frame the fixture shows and
    // activates, so focus moves behave as for the operator.
    QMdiSubWindow* open(WorkflowWindow* window, const QString& caption);
    QMdiArea* area();

private:
    lectora::server::EmbeddedServer m_server;
    std::unique_ptr<TDm_Velmor> m_dm;
    std::unique_ptr<QMainWindow> m_frame;
};
