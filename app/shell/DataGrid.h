#pragma once
// A read-only grid that shows a query's rows. With declared columns it shows
// those fields under their titles and widths; without, every column of the
// answer in order, titled with its name. Rows are copied from a forward-only
// query into the grid's own model, so a large answer costs one pass.

#include <QList>
#include <QString>
#include <QTableView>
#include <QVariant>

class SharedQuery;
class Connection;
class GridModel;

struct GridColumn {
    QString field;
    QString title;
    int width = 0;
};

class DataGrid : public QTableView
{
    Q_OBJECT
public:
    explicit DataGrid(QWidget* parent = nullptr);
    ~DataGrid() override;

    void setColumns(const QList<GridColumn>& columns);
    // Replaces the rows with the whole first result of `query` (already open).
    void showResult(SharedQuery& query);
    // Binds `query` to `connection`, runs `commandText` and shows its rows. Throws DbError.
    void load(SharedQuery& query, Connection& connection, const QString& commandText);
    void clearRows();

    int rows() const;
    QStringList titles() const;
    QString cell(int row, int column) const;

private:
    void applyWidths();

    GridModel* m_model;
    QList<GridColumn> m_declared;
};
