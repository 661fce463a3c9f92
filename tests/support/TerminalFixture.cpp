#include "tests/support/TerminalFixture.h"

#include "app/shell/MessageService.h"
#include "app/shell/Operator.h"
#include "app/shell/WorkflowWindow.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

#include "platform/Net.h"

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
    s.security.certificateSha256 = QString::fromStdString(m_server.certificateFingerprint());
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

std::vector<lectora::server::JournalEntry> TerminalFixture::calls(const char* procedure) const
{
    using lectora::server::ProcedureRegistry;
    std::vector<lectora::server::JournalEntry> out;
    for (const auto& entry : m_server.journal())
        if (ProcedureRegistry::key(entry.procedure) == ProcedureRegistry::key(procedure))
            out.push_back(entry);
    return out;
}

int TerminalFixture::closedPort()
{
    // A port the system just handed out and took back: nobody listens there.
    int port = 0;
    lectora::net::close(lectora::net::listenTcp("127.0.0.1", 0, port));
    return port;
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

void TerminalFixture::type(QWidget* field, const QString& text)
{
    field->setFocus();
    scan(field, text);
}

QString TerminalFixture::focusName()
{
    const QWidget* focused = QApplication::focusWidget();
    return focused ? focused->objectName() : QString();
}

const QList<MessageService::Shown>& TerminalFixture::shown()
{
    return MessageService::instance().shown();
}

QStringList TerminalFixture::cutOffCaptions(const QWidget* window)
{
    auto isField = [](const QWidget* w) {
        return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
               qobject_cast<const QAbstractItemView*>(w);
    };
    QStringList cut;
    for (const QWidget* caption : window->findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(caption);
        const auto* button = qobject_cast<const QAbstractButton*>(caption);
        const QString text = label ? label->text() : button ? button->text() : QString();
        if (text.isEmpty() || !caption->isVisibleTo(window) || (label && label->wordWrap()))
            continue;
        // A button's size hint holds the style's minimum size as well; what
        // matters there is its text with a little room on both sides.
        const QSize needed = label ? caption->sizeHint()
                                   : QSize(caption->fontMetrics().horizontalAdvance(text) + 8,
                                           caption->fontMetrics().height() + 4);
        bool whole = caption->width() >= needed.width() && caption->height() >= needed.height();
        for (const QWidget* sibling : caption->parentWidget()->findChildren<QWidget*>(
                 QString(), Qt::FindDirectChildrenOnly)) {
            if (sibling != caption && isField(sibling) && sibling->isVisibleTo(window) &&
                sibling->geometry().intersects(caption->geometry()))
                whole = false;
        }
        if (!whole)
            cut << caption->objectName();
    }
    return cut;
}

lectora::server::Reply TerminalFixture::status(const std::optional<std::string>& code,
                                               const std::string& description,
                                               const std::string& textColumn)
{
    lectora::server::ResultSet rs = lectora::server::ResultSet::texts({"Error", textColumn});
    if (code)
        rs.row({*code, description});
    return lectora::server::Reply::rows(rs);
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
