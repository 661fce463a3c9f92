// What every workflow window shares: key-down steps, the form-level Enter
// move and its timing around modal boxes, the next-control move, closing and
// title-bar buttons, failures reaching the default error report, and the
// message service's scripted mode that all window tests rely on.

#include "app/shell/MessageService.h"
#include "app/shell/WorkflowWindow.h"
#include "data/DbError.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>
#include <QVBoxLayout>

#include <stdexcept>

namespace
{

// A window with four fields in tab order A, B, C (read-only), D and a label,
// whose steps the test decides.
class ProbeWindow : public WorkflowWindow
{
public:
    explicit ProbeWindow(const WindowTraits& traits) : WorkflowWindow(traits)
    {
        auto* layout = new QVBoxLayout(this);
        for (const char* name : {"A", "B", "C", "D"}) {
            auto* field = new QLineEdit(this);
            field->setObjectName(QLatin1String(name));
            layout->addWidget(field);
            fields.append(field);
            if (fields.size() == 2)
                layout->addWidget(new QLabel(QStringLiteral("no focus"), this));
        }
        fields[2]->setReadOnly(true);
    }

    void step(int index, std::function<void(int key)> body)
    {
        onKeyDown(fields[index], std::move(body));
    }

    using WorkflowWindow::focusAndSelect;
    using WorkflowWindow::selectNext;

    QList<QLineEdit*> fields;
};

WindowTraits traits(bool formEnterMove, WindowTraits::Close close = WindowTraits::Close::Destroy,
                    int buttons = WindowTraits::NoButtons)
{
    WindowTraits t;
    t.keyPreview = formEnterMove;
    t.formEnterMove = formEnterMove;
    t.close = close;
    t.buttons = buttons;
    return t;
}

// Counts the key presses that reach a widget itself (not its children).
class KeySpy : public QObject
{
public:
    int enters = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress &&
            WorkflowWindow::isEnter(static_cast<QKeyEvent*>(event)->key()))
            ++enters;
        return false;
    }
};

} // namespace

class ConventionsTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> m_fixture;

    ProbeWindow* openProbe(const WindowTraits& t, const QString& caption = QStringLiteral("Probe"))
    {
        auto* window = new ProbeWindow(t);
        m_fixture->open(window, caption);
        window->fields[0]->setFocus();
        return window;
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<TerminalFixture>();
        TerminalFixture::clearMessages();
    }
    void cleanup() { m_fixture.reset(); }

    void enterMoveOnlyWithFormHandler_data()
    {
        QTest::addColumn<bool>("formEnterMove");
        QTest::addColumn<bool>("stepMoves");
        QTest::addColumn<QString>("expected");
        QTest::newRow("form move, step stays") << true << false << "B";
        QTest::newRow("form move on top of the step's move") << true << true << "C";
        QTest::newRow("no form move, step stays") << false << false << "A";
        QTest::newRow("no form move, step moves") << false << true << "B";
    }

    void enterMoveOnlyWithFormHandler()
    {
        QFETCH(bool, formEnterMove);
        QFETCH(bool, stepMoves);
        QFETCH(QString, expected);
        ProbeWindow* w = openProbe(traits(formEnterMove));
        QStringList keys;
        w->step(0, [&](int key) {
            keys << QString::number(key);
            if (stepMoves && WorkflowWindow::isEnter(key))
                w->selectNext();
        });
        TerminalFixture::scan(w->fields[0], QStringLiteral("x"));
        QCOMPARE(TerminalFixture::focusName(), expected);
        // The step saw every key; the field saw the typed one but not Enter.
        QCOMPARE(keys, (QStringList{QString::number(Qt::Key_X), QString::number(Qt::Key_Return)}));
        QCOMPARE(w->fields[0]->text(), QStringLiteral("x"));
    }

    void enterMoveWithModalBox_data()
    {
        QTest::addColumn<bool>("focusAfterBox");
        QTest::addColumn<QString>("expected");
        // The step refuses the scan and gives the focus back: that stands.
        QTest::newRow("step sets focus after the box") << true << "A";
        // The box shows, nothing is set afterwards: the move happened once, while it was up.
        QTest::newRow("step leaves focus after the box") << false << "B";
    }

    void enterMoveWithModalBox()
    {
        QFETCH(bool, focusAfterBox);
        QFETCH(QString, expected);
        ProbeWindow* w = openProbe(traits(true));
        QString focusWhileBoxUp;
        w->step(0, [&](int key) {
            if (!WorkflowWindow::isEnter(key))
                return;
            MessageService::instance().errorBox(QStringLiteral("No existe la tarima."));
            focusWhileBoxUp = TerminalFixture::focusName();
            MessageService::instance().errorBox(QStringLiteral("second box"));
            if (focusAfterBox)
                w->focusAndSelect(w->fields[0]);
        });
        TerminalFixture::scan(w->fields[0], QStringLiteral("P1"));
        QCOMPARE(focusWhileBoxUp, QStringLiteral("B"));
        QCOMPARE(TerminalFixture::focusName(), expected);
        QCOMPARE(MessageService::instance().shown().size(), 2);
        if (focusAfterBox)
            QCOMPARE(w->fields[0]->selectedText(), QStringLiteral("P1"));
    }

    void selectNextWrapsAndIncludesReadOnly()
    {
        ProbeWindow* w = openProbe(traits(false));
        w->fields[1]->setFocus();
        w->selectNext(1);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("C")); // read-only, still a stop
        w->selectNext(2);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("A")); // wrapped past D
        w->fields[3]->hide();
        w->fields[2]->setFocus();
        w->selectNext(1);
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("A")); // hidden fields are skipped
    }

    void enterNeverReachesTheFrame_data()
    {
        QTest::addColumn<bool>("formEnterMove");
        QTest::addColumn<bool>("withStep");
        QTest::newRow("plain window, field without step") << false << false;
        QTest::newRow("plain window, field with step") << false << true;
        QTest::newRow("form move window") << true << true;
    }

    void enterNeverReachesTheFrame()
    {
        QFETCH(bool, formEnterMove);
        QFETCH(bool, withStep);
        ProbeWindow* w = openProbe(traits(formEnterMove));
        if (withStep)
            w->step(0, [](int) {});
        KeySpy spy;
        QWidget* frame = w->window();
        frame->installEventFilter(&spy);
        m_fixture->area()->installEventFilter(&spy);
        w->subWindow()->installEventFilter(&spy);
        w->installEventFilter(&spy);
        TerminalFixture::pressEnter(w->fields[0]);
        QCOMPARE(spy.enters, 0);
        QCOMPARE(TerminalFixture::focusName(),
                 formEnterMove ? QStringLiteral("B") : QStringLiteral("A"));
    }

    void failureGoesToDefaultReportAndWindowStaysUsable()
    {
        ProbeWindow* w = openProbe(traits(false));
        int runs = 0;
        w->step(0, [&](int key) {
            if (!WorkflowWindow::isEnter(key))
                return;
            if (++runs == 1)
                throw DbError(DbError::Kind::Server, QStringLiteral("Servidor caído"));
            w->fields[0]->clear();
        });
        TerminalFixture::scan(w->fields[0], QStringLiteral("P1"));
        const auto& shown = MessageService::instance().shown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QStringLiteral("Servidor caído"));
        QCOMPARE(shown[0].caption, QStringLiteral("LectoraVelmor"));
        QCOMPARE(shown[0].icon, QMessageBox::Critical);
        QCOMPARE(w->fields[0]->text(), QStringLiteral("P1")); // what was done stays

        TerminalFixture::pressEnter(w->fields[0]);
        QCOMPARE(runs, 2);
        QVERIFY(w->fields[0]->text().isEmpty());
    }

    // Whatever a step lets through is reported with a text, never lost.
    void failureTexts_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("server error") << 0 << "Servidor caído";
        QTest::newRow("standard exception") << 1 << "bad conversion";
        QTest::newRow("anything else") << 2 << "Error desconocido";
    }
    void failureTexts()
    {
        QFETCH(int, kind);
        QFETCH(QString, text);
        WorkflowWindow::guarded([kind] {
            if (kind == 0)
                throw DbError(DbError::Kind::Server, QStringLiteral("Servidor caído"));
            if (kind == 1)
                throw std::runtime_error("bad conversion");
            throw 42;
        });
        const auto& shown = TerminalFixture::shown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, text);
        QCOMPARE(shown[0].caption, QStringLiteral("LectoraVelmor"));
        QCOMPARE(shown[0].form, MessageService::Form::ErrorBox);
    }

    void closing_data()
    {
        QTest::addColumn<int>("close");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<bool>("byShortcut");
        QTest::addColumn<QString>("outcome");
        const int destroy = int(WindowTraits::Close::Destroy);
        const int minimise = int(WindowTraits::Close::Minimise);
        const int ignore = int(WindowTraits::Close::Ignore);
        const int frameButtons = WindowTraits::SystemMenu | WindowTraits::Minimise;
        QTest::newRow("close handler") << destroy << 0 << false << "destroyed";
        QTest::newRow("close handler, Ctrl+F4") << destroy << 0 << true << "destroyed";
        QTest::newRow("minimise button") << minimise << frameButtons << false << "minimised";
        // With a system menu, Ctrl+F4 is that menu's Close: the same as the button.
        QTest::newRow("minimise button, Ctrl+F4")
            << minimise << frameButtons << true << "minimised";
        QTest::newRow("neither") << ignore << 0 << false << "open";
        QTest::newRow("neither, Ctrl+F4") << ignore << 0 << true << "open";
    }

    void closing()
    {
        QFETCH(int, close);
        QFETCH(int, buttons);
        QFETCH(bool, byShortcut);
        QFETCH(QString, outcome);
        ProbeWindow* w = openProbe(traits(false, WindowTraits::Close(close), buttons));
        QPointer<QMdiSubWindow> child = w->subWindow();
        if (byShortcut)
            QTest::keyClick(w->fields[0], Qt::Key_F4, Qt::ControlModifier);
        else
            child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QString state = QStringLiteral("open");
        if (!child)
            state = QStringLiteral("destroyed");
        else if (child->isMinimized())
            state = QStringLiteral("minimised");
        QCOMPARE(state, outcome);
        if (outcome != QLatin1String("destroyed"))
            QCOMPARE(m_fixture->area()->subWindowList().size(), 1);
    }

    void titleBarButtonsFollowTraits_data()
    {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<bool>("close");
        QTest::addColumn<bool>("minimise");
        QTest::addColumn<bool>("maximise");
        QTest::addColumn<bool>("help");
        QTest::newRow("none") << int(WindowTraits::NoButtons) << false << false << false << false;
        QTest::newRow("system menu, minimise, maximise")
            << int(WindowTraits::SystemMenu | WindowTraits::Minimise | WindowTraits::Maximise)
            << true << true << true << false;
        QTest::newRow("help only") << int(WindowTraits::Help) << false << false << false << true;
    }

    void titleBarButtonsFollowTraits()
    {
        QFETCH(int, buttons);
        QFETCH(bool, close);
        QFETCH(bool, minimise);
        QFETCH(bool, maximise);
        QFETCH(bool, help);
        ProbeWindow* w = openProbe(traits(false, WindowTraits::Close::Ignore, buttons));
        const Qt::WindowFlags flags = w->subWindow()->windowFlags();
        QVERIFY(w->subWindow()->isMaximized());
        QCOMPARE(bool(flags & Qt::WindowCloseButtonHint), close);
        QCOMPARE(bool(flags & Qt::WindowSystemMenuHint), close);
        QCOMPARE(bool(flags & Qt::WindowMinimizeButtonHint), minimise);
        QCOMPARE(bool(flags & Qt::WindowMaximizeButtonHint), maximise);
        QCOMPARE(bool(flags & Qt::WindowContextHelpButtonHint), help);
    }

    void scriptedMessagesRecordAndAnswer()
    {
        MessageService& m = MessageService::instance();
        m.setNextAnswers({QMessageBox::No, QMessageBox::Retry});
        m.errorBox(QStringLiteral("No existe la tarima.")); // takes no queued answer
        QVERIFY(!m.question(QStringLiteral("¿Cambiar?"), QStringLiteral("Aviso")));
        m.plain(QStringLiteral("Ingrese el Ticket."));
        QCOMPARE(m.retryIgnore(QStringLiteral("X")), QMessageBox::Retry);
        QCOMPARE(m.retryIgnore(QStringLiteral("X")), QMessageBox::Ignore); // queue empty
        QVERIFY(m.question(QStringLiteral("¿Otra?"), QStringLiteral("Aviso")));
        m.notice(QStringLiteral("Debes capturar un producto"));

        const auto& s = m.shown();
        QCOMPARE(s.size(), 7);
        QCOMPARE(s[0].caption, QStringLiteral("No existe la tarima."));
        QCOMPARE(s[0].icon, QMessageBox::Critical);
        QCOMPARE(s[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(s[1].icon, QMessageBox::Question);
        QCOMPARE(s[1].caption, QStringLiteral("Aviso"));
        QCOMPARE(s[1].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(s[2].caption, QStringLiteral("LectoraVelmor"));
        QCOMPARE(s[2].icon, QMessageBox::NoIcon);
        QCOMPARE(s[3].buttons, QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(s[3].form, MessageService::Form::RetryIgnore);
        QCOMPARE(s[6].form, MessageService::Form::Notice);
        QCOMPARE(s[6].caption, QStringLiteral("LectoraVelmor"));
    }
};

QTEST_MAIN(ConventionsTest)
#include "tst_conventions.moc"
