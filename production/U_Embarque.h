#pragma once
// Production pallet query: scan a pallet and the grid lists what the server
// knows of it (order, product, quantity, station, status, location, dates).
// It records nothing, and it cannot be closed: it lives as long as the main window.

#include "app/shell/WorkflowWindow.h"
#include "data/SharedQuery.h"

#include <memory>

namespace Ui
{
class Tfr_Embarque;
}

class Tfr_Embarque : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit Tfr_Embarque(QWidget* parent = nullptr);
    ~Tfr_Embarque() override;

private:
    void edTarimaKeyDown(int key);

    std::unique_ptr<Ui::Tfr_Embarque> ui;
    // The last accepted pallet's answer, shown in the grid.
    SharedQuery ADOQuery1;
};
