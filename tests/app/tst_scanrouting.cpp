// Where a scan lands when the operator moves between windows: the keys go to
// whatever has the keyboard focus, as a reader's do, through the platform's
// window (so modal blocking and shortcuts apply), never straight into a field.

#include "app/U_Menu.h"
#include "app/shell/Profile.h"
#include "tests/support/TerminalFixture.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>
#include <QWindow>

namespace
{

enum class Back { MenuEntry, CloseFront, MinimiseFront };

// Types one reader scan into the focused window: the characters and Enter.
// "<Down>" stands for the arrow key an operator uses on a list.
void scanIntoFocus(const QString& scan)
{
    QWindow* window = QGuiApplication::focusWindow();
    QVERIFY2(window, "no window has the keyboard");
    if (scan == QLatin1String("<Down>")) {
        QTest::keyClick(window, Qt::Key_Down);
        return;
    }
    for (const QChar c : scan)
        QTest::keyClick(window, c.toLatin1());
    QTest::keyClick(window, Qt::Key_Return);
}

} // namespace

Q_DECLARE_METATYPE(Back)

class ScanRoutingTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TerminalFixture> m_fixture;
    std::unique_ptr<TFr_Menu> m_menu;

    QMdiSubWindow* childTitled(const QString& caption) const
    {
        for (QMdiSubWindow* child : m_menu->mdiArea()->subWindowList())
            if (child->windowTitle() == caption && !child->isHidden())
                return child;
        return nullptr;
    }

    void open(const QString& entry, const QStringList& scans)
    {
        m_menu->entry(entry)->trigger();
        QApplication::processEvents();
        for (const QString& scan : scans)
            scanIntoFocus(scan);
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<TerminalFixture>(QString());
        m_menu = std::make_unique<TFr_Menu>(Profile::knownEntries());
        m_menu->show();
        QApplication::setActiveWindow(m_menu.get());
        QVERIFY(QTest::qWaitForWindowActive(m_menu.get()));
        scanIntoFocus(QStringLiteral("demo"));
        scanIntoFocus(QStringLiteral("demo"));
        QVERIFY(!m_menu->IdPersona().isEmpty());
    }

    void cleanup()
    {
        m_menu.reset();
        m_fixture.reset();
    }

    // There is no logout: the hidden login panel takes no key after a login.
    void keysBeforeAnyWindowSendNothing()
    {
        m_fixture->clearJournal();
        scanIntoFocus(QStringLiteral("junk"));
        scanIntoFocus(QStringLiteral("demo"));
        QCOMPARE(m_fixture->journal(), QStringList());
        QCOMPARE(TerminalFixture::shown().size(), 0);
    }

    void theNextScanReachesTheFieldTheOperatorLeft_data()
    {
        QTest::addColumn<QString>("entryA");
        QTest::addColumn<QStringList>("scansA");
        QTest::addColumn<QString>("entryB");
        QTest::addColumn<Back>("back");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QStringList>("scans");
        QTest::addColumn<QString>("command");

        // The form-level Enter move has put the focus on the pallet.
        QTest::newRow("manifest, by the menu")
            << "Embarque1" << QStringList{"MAN-1"} << "Reubicaciones2" << Back::MenuEntry
            << "edTarima" << QStringList{"T-1"} << "EXEC sp_KVR_ValidaEmbarque 'MAN-1','T-1'";
        QTest::newRow("a new window's first field, after Ctrl+F4")
            << "Reubicaciones2" << QStringList{} << "EntradaPorPallet1" << Back::CloseFront
            << "edTarima" << QStringList{"T-1", "M-01"}
            << "EXEC sp_KVR_ValidaTarimaUbicacion 'T-1','M-01'";
        QTest::newRow("second field, by the menu")
            << "Reubicaciones2" << QStringList{"T-1"} << "Reubicaciones1" << Back::MenuEntry
            << "edMesa" << QStringList{"M-01"} << "EXEC sp_KVR_ValidaTarimaUbicacion 'T-1','M-01'";
        QTest::newRow("form Enter move, after minimising the front")
            << "EntradaPorPallet1" << QStringList{} << "Entregade1" << Back::MinimiseFront
            << "EdPalletKV" << QStringList{"P-1"} << "EXECUTE sp_Kvr_IdentificaTipoEntrada 'P-1'";
        QTest::newRow("count list, by the menu")
            << "Ulmar1" << QStringList{} << "NordaPavrel1" << Back::MenuEntry << "cmbRegConteo"
            << QStringList{"<Down>"} << "EXECUTE sp_KVR_InventarioConsultaConteo '";
        QTest::newRow("product field, after minimising the front")
            << "Inventario1" << QStringList{"<Down>", "A-01-01"} << "Entregade1"
            << Back::MinimiseFront << "EdProducto" << QStringList{"S-1001"}
            << "sp_KVR_ObtieneIDProducto;1 ('S-1001'";
        // A refused scan is left selected so that the next one replaces it.
        QTest::newRow("refused scan stays selected")
            << "Reubicaciones1" << QStringList{"NOPE"} << "Inventario1" << Back::MenuEntry
            << "edTarima" << QStringList{"T-7"} << "EXECUTE sp_KVR_VerificaTarima 'T-7'";
    }

    void theNextScanReachesTheFieldTheOperatorLeft()
    {
        QFETCH(QString, entryA);
        QFETCH(QStringList, scansA);
        QFETCH(QString, entryB);
        QFETCH(Back, back);
        QFETCH(QString, focus);
        QFETCH(QStringList, scans);
        QFETCH(QString, command);

        open(entryA, scansA);
        QMdiSubWindow* a = m_menu->mdiArea()->activeSubWindow();
        QVERIFY(a);
        open(entryB, {QStringLiteral("X-1")});
        QMdiSubWindow* b = m_menu->mdiArea()->activeSubWindow();
        QVERIFY(b && b != a);

        switch (back) {
        case Back::MenuEntry:
            m_menu->entry(entryA)->trigger();
            break;
        case Back::CloseFront:
            QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_F4, Qt::ControlModifier);
            break;
        case Back::MinimiseFront:
            b->showMinimized();
            break;
        }
        QApplication::processEvents();

        QCOMPARE(m_menu->mdiArea()->activeSubWindow(), a);
        QVERIFY(a->isMaximized());
        QCOMPARE(TerminalFixture::focusName(), focus);
        m_fixture->clearJournal();
        for (const QString& scan : scans)
            scanIntoFocus(scan);
        const QString sent = m_fixture->journal().join(QLatin1Char('\n'));
        QVERIFY2(sent.contains(command), qPrintable(sent));
    }
};

QTEST_MAIN(ScanRoutingTest)
#include "tst_scanrouting.moc"
