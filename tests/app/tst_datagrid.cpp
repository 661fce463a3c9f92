// The read-only grid over a query's answer: declared columns or every column,
// rows replaced by each load, a failed load leaving nothing stale, and a long
// answer shown whole.

#include "app/shell/DataGrid.h"
#include "data/CommandText.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "tests/support/TerminalFixture.h"

#include <QHeaderView>
#include <QTest>

using lectora::server::Call;
using lectora::server::Reply;
using lectora::server::ResultSet;

class DataGridTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> m_fixture;

    void scriptSuggestions()
    {
        m_fixture->server().script("sp_Test_Sugiere", [](Call& call) {
            const std::string pallet = call.text(0);
            if (pallet == "NONE")
                return Reply::rows(ResultSet::texts({"Localidad", "tarima", "extra"}));
            if (pallet == "FAIL")
                return Reply::fail("Tarima bloqueada");
            if (pallet == "BIG") {
                ResultSet rs = ResultSet::texts({"localidad", "tarima"});
                for (int i = 0; i < 100000; ++i)
                    rs.row({"L-" + std::to_string(i), "T-" + std::to_string(i)});
                return Reply::rows(std::move(rs));
            }
            return Reply::rows(ResultSet::texts({"Localidad", "tarima", "extra"})
                                   .row({"A-01", pallet + "-1", "x"})
                                   .row({"A-02", pallet + "-2", "y"}));
        });
    }

    void load(DataGrid& grid, SharedQuery& query, const QString& pallet)
    {
        grid.load(query, m_fixture->dm().Cx,
                  CommandText(QStringLiteral("EXECUTE sp_Test_Sugiere")).quoted(pallet));
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<TerminalFixture>();
        scriptSuggestions();
    }
    void cleanup() { m_fixture.reset(); }

    void declaredColumnsPickFieldsByName()
    {
        DataGrid grid;
        SharedQuery query;
        grid.setColumns(
            {{"localidad", "Localidad", 50}, {"tarima", "Tarima", 170}, {"missing", "Nada", 0}});
        QCOMPARE(grid.titles(), (QStringList{"Localidad", "Tarima", "Nada"}));
        load(grid, query, QStringLiteral("P1"));
        QCOMPARE(grid.rows(), 2);
        QCOMPARE(grid.titles(), (QStringList{"Localidad", "Tarima", "Nada"}));
        QCOMPARE(grid.cell(0, 0), QStringLiteral("A-01"));
        QCOMPARE(grid.cell(1, 1), QStringLiteral("P1-2"));
        QCOMPARE(grid.cell(1, 2), QString());
        QCOMPARE(grid.horizontalHeader()->sectionSize(0), 50);
        QCOMPARE(grid.horizontalHeader()->sectionSize(1), 170);
    }

    void undeclaredShowsEveryColumnAndEachLoadReplacesRows()
    {
        DataGrid grid;
        SharedQuery query;
        load(grid, query, QStringLiteral("P1"));
        QCOMPARE(grid.titles(), (QStringList{"Localidad", "tarima", "extra"}));
        QCOMPARE(grid.cell(1, 2), QStringLiteral("y"));

        load(grid, query, QStringLiteral("P2"));
        QCOMPARE(grid.rows(), 2);
        QCOMPARE(grid.cell(0, 1), QStringLiteral("P2-1"));

        load(grid, query, QStringLiteral("NONE"));
        QCOMPARE(grid.rows(), 0);
        QCOMPARE(grid.titles().size(), 3);
    }

    void failedLoadRaisesAndLeavesNoStaleRows()
    {
        DataGrid grid;
        SharedQuery query;
        load(grid, query, QStringLiteral("P1"));
        QVERIFY_THROWS_EXCEPTION(DbError, load(grid, query, QStringLiteral("FAIL")));
        QCOMPARE(grid.rows(), 0);
        // The grid and its query work again at the next scan.
        load(grid, query, QStringLiteral("P3"));
        QCOMPARE(grid.cell(0, 1), QStringLiteral("P3-1"));
    }

    void readOnly()
    {
        DataGrid grid;
        SharedQuery query;
        load(grid, query, QStringLiteral("P1"));
        QVERIFY(!(grid.model()->flags(grid.model()->index(0, 0)) & Qt::ItemIsEditable));
        QCOMPARE(grid.editTriggers(), QAbstractItemView::NoEditTriggers);
    }

    void longAnswerIsShownWhole()
    {
        DataGrid grid;
        SharedQuery query;
        grid.setColumns({{"localidad", "Localidad", 50}, {"tarima", "Tarima", 170}});
        grid.show();
        load(grid, query, QStringLiteral("BIG"));
        QCOMPARE(grid.rows(), 100000);
        QCOMPARE(grid.cell(99999, 1), QStringLiteral("T-99999"));
    }
};

QTEST_MAIN(DataGridTest)
#include "tst_datagrid.moc"
