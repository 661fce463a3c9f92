// The five production entries of the process menu: each opens its window under
// its caption, and a second click finds the window again unless closing
// destroyed it.
#include "app/U_Menu.h"
#include "app/shell/WorkflowWindow.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>

class TestProductionMenu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reopen_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("closing"); // "destroys", "minimises" or "nothing"

        QTest::newRow("delivery") << "Salida1"
                                  << "Entrega Tarima a Estación de producción"
                                  << "TFr_SalidaCajaRollo"
                                  << "destroys";
        QTest::newRow("receipt") << "ReciboenProduccin1"
                                 << "Recibo en Produccion"
                                 << "TFr_Salida"
                                 << "destroys";
        QTest::newRow("quality") << "Entregade1"
                                 << "Entrega de Producción a Calidad"
                                 << "TfrEntregaTarimaACalidad"
                                 << "minimises";
        QTest::newRow("released area") << "LiberacindeCalidadVElmor1"
                                       << "Transferencia al área de producto liberado"
                                       << "TfrLiberacionCalidadVElmor"
                                       << "destroys";
        QTest::newRow("query") << "Reubicaciones1"
                               << "Consulta Tarima de Producción"
                               << "Tfr_Embarque"
                               << "nothing";
    }
    void reopen()
    {
        QFETCH(QString, entry);
        QFETCH(QString, caption);
        QFETCH(QString, className);
        QFETCH(QString, closing);

        TerminalFixture fx;
        TFr_Menu menu(QStringList{entry});
        menu.show();
        QApplication::setActiveWindow(&menu);
        QVERIFY(QTest::qWaitForWindowActive(&menu));
        auto* user = menu.findChild<QLineEdit*>(QStringLiteral("edt_Usuario"));
        auto* password = menu.findChild<QLineEdit*>(QStringLiteral("edt_Contra"));
        user->setText(QStringLiteral("demo"));
        password->setText(QStringLiteral("demo"));
        password->setFocus();
        TerminalFixture::pressEnter(password);
        QVERIFY(!menu.IdPersona().isEmpty());

        QVERIFY(menu.entry(entry)->isVisible());
        menu.entry(entry)->trigger();
        QMdiArea* area = menu.mdiArea();
        QCOMPARE(area->subWindowList().size(), 1);
        QMdiSubWindow* child = area->subWindowList().first();
        QCOMPARE(child->windowTitle(), caption);
        QCOMPARE(QString::fromLatin1(child->widget()->metaObject()->className()), className);
        QVERIFY(child->isMaximized());

        QPointer<QWidget> first(child->widget());
        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(first.isNull(), closing == QLatin1String("destroys"));
        if (first)
            QCOMPARE(child->isMinimized(), closing == QLatin1String("minimises"));

        menu.entry(entry)->trigger();
        QCOMPARE(area->subWindowList().size(), 1);
        QMdiSubWindow* again = area->subWindowList().first();
        QCOMPARE(again->windowTitle(), caption);
        QCOMPARE(area->activeSubWindow(), again);
        if (first)
            QCOMPARE(again->widget(), first.data());
    }
};

QTEST_MAIN(TestProductionMenu)
#include "tst_productionmenu.moc"
