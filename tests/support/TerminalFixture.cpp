#include "tests/support/TerminalFixture.h"

#include "app/shell/MessageService.h"
#include "app/shell/Operator.h"
#include "app/shell/WorkflowWindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

namespace
{

// What the driver and Qt send on their own when a connection opens; tests
// compare the commands the terminal sends, so these are left out.
bool isHousekeeping(const lectora::server::JournalEntry& entry)
{
    const QString procedure = QString::fromStdString(entry.procedure).toLower();
    const QString text = QString::fromStdString(entry.text).trimmed().toLower();
    return procedure.isEmpty() || procedure.startsWith(QLatin1String("sp_datatype_info")) ||
           procedure.startsWith(QLatin1String("sp_cursor")) ||
           text.startsWith(QLatin1String("set "));
}

} // namespace

TerminalFixture::TerminalFixture(const QString& operatorId)
{
    MessageService& messages = MessageService::instance();
    messages.setScripted(true);
    messages.clear();
    messages.setBeforeModal({});

    lectora::server::ServerOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.seedDemo = true;
    m_server.start(options);

    m_dm = std::make_unique<TDm_Velmor>(settings());
    Operator::setId(operatorId);
    m_server.clearJournal();
}

TerminalFixture::~TerminalFixture()
{
    m_frame.reset();
    m_dm.reset();
    m_server.stop();
    Operator::setId(QString());
    MessageService::instance().clear();
    MessageService::instance().setBeforeModal({});
}

ConnectionSettings TerminalFixture::settings() const
{
    ConnectionSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = m_server.port();
    s.workstation = QStringLiteral("TEST-01");
    s.login = QString::fromStdString(m_server.options().login);
    s.password = QString::fromStdString(m_server.options().password);
    return s;
}

QStringList TerminalFixture::journal() const
{
    QStringList texts;
    for (const auto& entry : m_server.journal()) {
        if (!isHousekeeping(entry))
            texts.append(QString::fromStdString(entry.text));
    }
    return texts;
}

void TerminalFixture::clearJournal()
{
    m_server.clearJournal();
}

void TerminalFixture::scan(QWidget* field, const QString& text)
{
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

void TerminalFixture::pressEnter(QWidget* field)
{
    QTest::keyClick(field, Qt::Key_Return);
}

void TerminalFixture::clearMessages()
{
    MessageService::instance().clear();
}

QMdiArea* TerminalFixture::area()
{
    if (!m_frame) {
        m_frame = std::make_unique<QMainWindow>();
        m_frame->setCentralWidget(new QMdiArea);
        m_frame->resize(640, 480);
        m_frame->show();
        QApplication::setActiveWindow(m_frame.get());
        if (!QTest::qWaitForWindowActive(m_frame.get()))
            qWarning("TerminalFixture: the test frame did not become active");
    }
    return static_cast<QMdiArea*>(m_frame->centralWidget());
}

QMdiSubWindow* TerminalFixture::open(WorkflowWindow* window, const QString& caption)
{
    QMdiArea* mdi = area();
    window->setWindowTitle(caption);
    QMdiSubWindow* child = window->addTo(mdi);
    mdi->setActiveSubWindow(child);
    QApplication::processEvents();
    return child;
}
