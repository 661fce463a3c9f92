#include "app/shell/DataGrid.h"

#include "data/Connection.h"
#include "data/SharedQuery.h"

#include <QAbstractTableModel>
#include <QHeaderView>

// The grid's rows, held by value: the query they came from is forward-only
// and may be closed or rerun while the grid still shows them.
class GridModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    // `sourceColumns[i]` is the result column shown as column i, or -1 for a
    // declared field the result does not have (shown empty).
    void reset(QStringList titles, QList<int> sourceColumns, QList<QList<QVariant>> rows)
    {
        beginResetModel();
        m_titles = std::move(titles);
        m_source = std::move(sourceColumns);
        m_rows = std::move(rows);
        endResetModel();
    }

    void clearRows()
    {
        beginResetModel();
        m_rows.clear();
        endResetModel();
    }

    void setTitles(QStringList titles)
    {
        beginResetModel();
        m_titles = std::move(titles);
        m_source = QList<int>(m_titles.size(), -1);
        m_rows.clear();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_titles.size());
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return {};
        const int source = m_source.value(index.column(), -1);
        const QList<QVariant>& row = m_rows.at(index.row());
        if (source < 0 || source >= row.size())
            return {};
        return row.at(source).toString();
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return m_titles.value(section);
        return {};
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    const QStringList& titles() const { return m_titles; }

private:
    QStringList m_titles;
    QList<int> m_source;
    QList<QList<QVariant>> m_rows;
};

DataGrid::DataGrid(QWidget* parent) : QTableView(parent), m_model(new GridModel(this))
{
    setModel(m_model);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    // Fixed row heights: the view then never measures rows, so a long answer
    // costs nothing beyond copying it.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->hide();
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
}

DataGrid::~DataGrid() = default;

void DataGrid::setColumns(const QList<GridColumn>& columns)
{
    m_declared = columns;
    QStringList titles;
    for (const GridColumn& column : columns)
        titles.append(column.title);
    m_model->setTitles(titles);
    applyWidths();
}

void DataGrid::showResult(SharedQuery& query)
{
    const QStringList fields = query.columns();
    QStringList titles;
    QList<int> source;
    if (m_declared.isEmpty()) {
        titles = fields;
        for (int i = 0; i < fields.size(); ++i)
            source.append(i);
    } else {
        // Field names are matched as the server's names are: without regard to case.
        for (const GridColumn& column : m_declared) {
            titles.append(column.title);
            int found = -1;
            for (int i = 0; i < fields.size() && found < 0; ++i) {
                if (fields.at(i).compare(column.field, Qt::CaseInsensitive) == 0)
                    found = i;
            }
            source.append(found);
        }
    }
    const bool sameColumns = titles == m_model->titles();
    m_model->reset(titles, source, query.takeRows());
    if (!m_declared.isEmpty() || !sameColumns)
        applyWidths();
}

void DataGrid::load(SharedQuery& query, Connection& connection, const QString& commandText)
{
    // Setting a new command closes the previous result, so a command that then
    // fails leaves the grid empty rather than showing rows of another pallet.
    clearRows();
    query.run(connection, commandText);
    showResult(query);
}

void DataGrid::clearRows()
{
    m_model->clearRows();
}

int DataGrid::rows() const
{
    return m_model->rowCount();
}

QStringList DataGrid::titles() const
{
    return m_model->titles();
}

QString DataGrid::cell(int row, int column) const
{
    return m_model->data(m_model->index(row, column), Qt::DisplayRole).toString();
}

void DataGrid::applyWidths()
{
    for (int i = 0; i < m_declared.size(); ++i) {
        if (m_declared.at(i).width > 0)
            setColumnWidth(i, m_declared.at(i).width);
    }
}
