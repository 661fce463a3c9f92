// The main window: login through the real data path against the in-process
// stand-in, the process menu it reveals, and the open-or-focus routine behind
// every menu entry.

#include "app/U_Menu.h"
#include "app/shell/MessageService.h"
#include "app/shell/Profile.h"
#include "app/shell/WorkflowWindow.h"
#include "server/Database.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTest>

using lectora::server::Call;
using lectora::server::Reply;
using lectora::server::ResultSet;

class LoginTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> m_fixture;
    std::unique_ptr<TFr_Menu> m_menu;

    template <typename T> T* field(const char* name) const
    {
        return m_menu->findChild<T*>(QLatin1String(name));
    }
    QLineEdit* user() const { return field<QLineEdit>("edt_Usuario"); }
    QLineEdit* password() const { return field<QLineEdit>("edt_Contra"); }
    QWidget* panel() const { return field<QWidget>("Pa_Acceso"); }
    const QList<MessageService::Shown>& shown() const { return TerminalFixture::shown(); }

    void login(const QString& name, const QString& secret)
    {
        user()->setText(name);
        password()->setText(secret);
        password()->setFocus();
        TerminalFixture::pressEnter(password());
    }

    QStringList visibleEntryCaptions() const
    {
        QStringList captions;
        for (QAction* a : m_menu->findChild<QMenu*>(QStringLiteral("Procesos1"))->actions())
            if (a->isVisible())
                captions << a->text();
        return captions;
    }

    // The procedure the login sends, replaced so that a test sees its arguments.
    void scriptPersona(std::function<Reply(Call&)> answer)
    {
        auto seen = std::make_shared<QStringList>();
        m_fixture->server().script("sp_KVR_Persona",
                                   [seen, answer](Call& call) {
                                       *seen = {QString::fromStdString(call.text(0)),
                                                QString::fromStdString(call.text(1))};
                                       return answer(call);
                                   },
                                   {"@Usuario", "@Password"});
        m_seen = seen;
    }
    std::shared_ptr<QStringList> m_seen;

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<TerminalFixture>(QString());
        m_menu = std::make_unique<TFr_Menu>(Profile::defaultVisibleEntries());
        m_menu->show();
        QApplication::setActiveWindow(m_menu.get());
        QVERIFY(QTest::qWaitForWindowActive(m_menu.get()));
    }

    void cleanup()
    {
        m_menu.reset();
        m_fixture.reset();
    }

    void startsOnTheLoginPanel()
    {
        QCOMPARE(m_menu->windowTitle(), QStringLiteral("Inventarios"));
        QCOMPARE(Fr_Menu, m_menu.get());
        QVERIFY(panel()->isVisible());
        QVERIFY(!m_menu->menuBar()->isVisible());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edt_Usuario"));
        QCOMPARE(m_menu->centralWidget()->size(), QSize(312, 288));
        QCOMPARE(TerminalFixture::cutOffCaptions(m_menu.get()).join(u','), QString());
        QCOMPARE(password()->echoMode(), QLineEdit::Password);
        QVERIFY(m_menu->IdPersona().isEmpty());
    }

    void emptyFieldsAreRefusedBeforeSending_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("focus");
        QTest::newRow("no user") << ""
                                 << "demo"
                                 << "Ingrese su Usuario"
                                 << "edt_Usuario";
        QTest::newRow("blank user") << "   "
                                    << "demo"
                                    << "Ingrese su Usuario"
                                    << "edt_Usuario";
        QTest::newRow("no password") << "demo"
                                     << ""
                                     << "Ingrese su Contraseña"
                                     << "edt_Contra";
        QTest::newRow("blank password") << "demo"
                                        << "  "
                                        << "Ingrese su Contraseña"
                                        << "edt_Contra";
    }

    void emptyFieldsAreRefusedBeforeSending()
    {
        QFETCH(QString, name);
        QFETCH(QString, secret);
        QFETCH(QString, text);
        QFETCH(QString, focus);
        // Enter in the password field: the form's move happens while the box
        // is up, and the step's focus afterwards stands.
        login(name, secret);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].text, text);
        QCOMPARE(shown()[0].caption, QStringLiteral("Usuario Incorrecto"));
        QCOMPARE(shown()[0].icon, QMessageBox::Critical);
        QCOMPARE(TerminalFixture::focusName(), focus);
        QVERIFY(m_fixture->journal().isEmpty());
        QVERIFY(panel()->isVisible());
    }

    void wrongPasswordKeepsTheUserAndSelectsThePassword()
    {
        login(QStringLiteral(" demo"), QStringLiteral("nope"));
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].text, QStringLiteral("Usuario Incorrecto"));
        QCOMPARE(shown()[0].caption, QStringLiteral("Usuario Incorrecto"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edt_Contra"));
        QCOMPARE(password()->selectedText(), QStringLiteral("nope"));
        QCOMPARE(user()->text(), QStringLiteral(" demo"));
        QVERIFY(panel()->isVisible());
        QVERIFY(m_menu->IdPersona().isEmpty());

        // The operator may try again at once.
        TerminalFixture::clearMessages();
        password()->setText(QStringLiteral("demo"));
        TerminalFixture::pressEnter(password());
        QVERIFY(shown().isEmpty());
        QVERIFY(!panel()->isVisible());
    }

    void loginSendsTrimmedValuesAndShowsTheMenu()
    {
        login(QStringLiteral("  demo "), QStringLiteral(" demo  "));
        const QStringList sent = m_fixture->journal();
        QCOMPARE(sent.size(), 1);
        // The stand-in masks the password in its journal; the text around it is exact.
        QVERIFY2(sent[0].startsWith(QStringLiteral("EXECUTE sp_KVR_Persona 'demo','")),
                 qPrintable(sent[0]));
        QVERIFY(shown().isEmpty());
        QVERIFY(!panel()->isVisible());
        QCOMPARE(m_menu->IdPersona(), QStringLiteral("1"));

        QVERIFY(m_menu->menuBar()->isVisible());
        QStringList topLevel;
        for (QAction* a : m_menu->menuBar()->actions())
            if (a->isVisible())
                topLevel << a->text();
        QCOMPARE(topLevel, QStringList{QStringLiteral("Procesos")});
        QCOMPARE(visibleEntryCaptions(), (QStringList{"Norda Preventa", "Norda Pavrel", "Ulmar"}));
    }

    void argumentsArriveExactly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("secret");
        QTest::newRow("quote in the user") << "o'brien"
                                           << "demo";
        QTest::newRow("injection attempt") << "x' OR 1=1 --"
                                           << "a','b";
        QTest::newRow("accents") << "almacén"
                                 << "Contraseña";
    }

    void argumentsArriveExactly()
    {
        QFETCH(QString, name);
        QFETCH(QString, secret);
        scriptPersona(
            [](Call&) { return Reply::rows(ResultSet::texts({"ID_Persona"}).row({"9"})); });
        login(name, secret);
        QCOMPARE(*m_seen, (QStringList{name, secret}));
        QCOMPARE(m_menu->IdPersona(), QStringLiteral("9"));
    }

    void severalRowsLogInWithTheFirstUntrimmed()
    {
        scriptPersona([](Call&) {
            return Reply::rows(ResultSet::texts({"ID_Persona"}).row({" 12 "}).row({"13"}));
        });
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QCOMPARE(m_menu->IdPersona(), QStringLiteral(" 12 "));
    }

    void serverErrorReachesDefaultReportAndLoginStillWorks()
    {
        scriptPersona([](Call&) { return Reply::fail("Servidor en mantenimiento"); });
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QCOMPARE(shown().size(), 1);
        QVERIFY2(shown()[0].text.contains(QStringLiteral("Servidor en mantenimiento")),
                 qPrintable(shown()[0].text));
        QCOMPARE(shown()[0].caption, QStringLiteral("LectoraVelmor"));
        QVERIFY(panel()->isVisible());

        m_fixture->server().procedures().unscript("sp_KVR_Persona");
        TerminalFixture::clearMessages();
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY(shown().isEmpty());
        QCOMPARE(m_menu->IdPersona(), QStringLiteral("1"));
    }

    void enterMovesThroughTheLoginControls()
    {
        user()->setText(QStringLiteral("demo"));
        TerminalFixture::pressEnter(user());
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edt_Contra"));
        QVERIFY(m_fixture->journal().isEmpty());
    }

    // Enter on the focused button presses it, as a dialog key does, and the
    // focus is not moved on after it: a refusal leaves it where the login put it.
    void enterOnTheButtonLogsIn()
    {
        auto* button = field<QPushButton>("cmdAcceso");
        button->setFocus();
        TerminalFixture::pressEnter(button);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].text, QStringLiteral("Ingrese su Usuario"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edt_Usuario"));

        TerminalFixture::clearMessages();
        user()->setText(QStringLiteral("demo"));
        password()->setText(QStringLiteral("nope"));
        button->setFocus();
        TerminalFixture::pressEnter(button);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(shown()[0].text, QStringLiteral("Usuario Incorrecto"));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edt_Contra"));

        TerminalFixture::clearMessages();
        password()->setText(QStringLiteral("demo"));
        button->setFocus();
        TerminalFixture::pressEnter(button);
        QVERIFY(shown().isEmpty());
        QVERIFY(!panel()->isVisible());
        QCOMPARE(m_menu->IdPersona(), QStringLiteral("1"));
    }

    void everyEntryOpensItsWindow_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("menuCaption");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("windowClass");
        QTest::newRow("EntradaPorPallet1") << "EntradaPorPallet1"
                                           << "Verificacion de Entrada"
                                           << "Verificacion de Entrada"
                                           << "TFr_EntradaPallet";
        QTest::newRow("EntradaPorCajaRollo1") << "EntradaPorCajaRollo1"
                                              << "Surtido"
                                              << "Surtido"
                                              << "TFr_EntradaCajaRollo";
        QTest::newRow("ReciboenProduccin1") << "ReciboenProduccin1"
                                            << "Recibo en Producción"
                                            << "Recibo en Produccion"
                                            << "TFr_Salida";
        QTest::newRow("Salida1") << "Salida1"
                                 << "Entrega Tarima a Estación de producción"
                                 << "Entrega Tarima a Estación de producción"
                                 << "TFr_SalidaCajaRollo";
        QTest::newRow("Entregade1") << "Entregade1"
                                    << "Entrega de Producción a Calidad "
                                    << "Entrega de Producción a Calidad"
                                    << "TfrEntregaTarimaACalidad";
        QTest::newRow("LiberacindeCalidadVElmor1") << "LiberacindeCalidadVElmor1"
                                                   << "Transferencia al área de producto liberado"
                                                   << "Transferencia al área de producto liberado"
                                                   << "TfrLiberacionCalidadVElmor";
        QTest::newRow("Embarque1") << "Embarque1"
                                   << "Embarque"
                                   << "Embarque"
                                   << "TFr_Embarque1";
        QTest::newRow("Reubicaciones2") << "Reubicaciones2"
                                        << "Reubicaciones"
                                        << "Reubicaciones"
                                        << "TfrReubicaciones";
        QTest::newRow("Reubicaciones1") << "Reubicaciones1"
                                        << "Consulta Tarima de Producción"
                                        << "Consulta Tarima de Producción"
                                        << "Tfr_Embarque";
        QTest::newRow("Inventario1") << "Inventario1"
                                     << "Norda Preventa"
                                     << "Inventario Norda Preventa"
                                     << "TfrInventario";
        QTest::newRow("NordaPavrel1") << "NordaPavrel1"
                                      << "Norda Pavrel"
                                      << "Inventario Norda Pavrel"
                                      << "TfrInventarioNordaPavrel";
        QTest::newRow("Ulmar1") << "Ulmar1"
                                << "Ulmar"
                                << "Inventario Ulmar"
                                << "TfrInventarioUlmar";
    }

    void everyEntryOpensItsWindow()
    {
        QFETCH(QString, entry);
        QFETCH(QString, menuCaption);
        QFETCH(QString, caption);
        QFETCH(QString, windowClass);
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QAction* action = m_menu->entry(entry);
        QVERIFY(action);
        QCOMPARE(action->text(), menuCaption);
        action->trigger();
        action->trigger();
        const QList<QMdiSubWindow*> children = m_menu->mdiArea()->subWindowList();
        QCOMPARE(children.size(), 1);
        QCOMPARE(children[0]->windowTitle(), caption);
        QCOMPARE(QString::fromLatin1(children[0]->widget()->metaObject()->className()),
                 windowClass);
        QVERIFY(children[0]->isMaximized());
        QCOMPARE(m_menu->mdiArea()->activeSubWindow(), children[0]);
    }

    void openOrFocusFindsMinimisedAndRecreatesDestroyed()
    {
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QMdiArea* area = m_menu->mdiArea();

        // A window without a close handler but with a minimise button.
        m_menu->entry(QStringLiteral("Entregade1"))->trigger();
        QPointer<QMdiSubWindow> quality = area->subWindowList().value(0);
        quality->close();
        QVERIFY(quality && quality->isMinimized());
        m_menu->entry(QStringLiteral("Inventario1"))->trigger();
        m_menu->entry(QStringLiteral("Entregade1"))->trigger();
        QCOMPARE(area->subWindowList().size(), 2);
        QCOMPARE(area->activeSubWindow(), quality.data());
        QVERIFY(!quality->isMinimized());

        // A window destroyed on closing comes back new.
        m_menu->entry(QStringLiteral("EntradaPorPallet1"))->trigger();
        QPointer<QWidget> entry = area->activeSubWindow()->widget();
        auto* edit = entry->findChild<QLineEdit*>(QStringLiteral("EdPalletKV"));
        QVERIFY(edit);
        edit->setText(QStringLiteral("P-1"));
        area->activeSubWindow()->close();
        m_menu->entry(QStringLiteral("EntradaPorPallet1"))->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!entry);
        QCOMPARE(area->subWindowList().size(), 3);
        QCOMPARE(area->activeSubWindow()->windowTitle(), QStringLiteral("Verificacion de Entrada"));
        QVERIFY(area->activeSubWindow()
                    ->widget()
                    ->findChild<QLineEdit*>(QStringLiteral("EdPalletKV"))
                    ->text()
                    .isEmpty());
    }

    void captionsCompareCaseSensitively()
    {
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        m_menu->openOrFocus(QStringLiteral("inventario ulmar"),
                            [] { return new WorkflowWindow(WindowTraits{}); });
        m_menu->entry(QStringLiteral("Ulmar1"))->trigger();
        QStringList titles;
        for (QMdiSubWindow* child : m_menu->mdiArea()->subWindowList())
            titles << child->windowTitle();
        QCOMPARE(titles, (QStringList{"inventario ulmar", "Inventario Ulmar"}));
    }

    void profileDecidesVisibleEntries()
    {
        m_menu = std::make_unique<TFr_Menu>(QStringList{"Embarque1", "Ulmar1"});
        m_menu->show();
        login(QStringLiteral("demo"), QStringLiteral("demo"));
        QCOMPARE(visibleEntryCaptions(), (QStringList{"Embarque", "Ulmar"}));
    }
};

QTEST_MAIN(LoginTest)
#include "tst_login.moc"
