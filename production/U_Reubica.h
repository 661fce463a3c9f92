#pragma once
// Transfer to the released-product area: the operator's production pallet, the
// client's pallet label and a location, scanned in that order; the grid lists
// the locations the server suggests for the pallet. The save takes whatever
// the three fields hold: the order of the scans is the operator's business.

#include "app/shell/WorkflowWindow.h"
#include "data/SharedQuery.h"

#include <memory>

namespace Ui
{
class TfrLiberacionCalidadVElmor;
}

class TfrLiberacionCalidadVElmor : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TfrLiberacionCalidadVElmor(QWidget* parent = nullptr);
    ~TfrLiberacionCalidadVElmor() override;

protected:
    void FormShow() override;

private:
    void edTarimaKVKeyDown(int key);
    void edTarimaVElmorKeyDown(int key);
    void edLocalidadTarimaKeyDown(int key);

    std::unique_ptr<Ui::TfrLiberacionCalidadVElmor> ui;
    // The suggestions shown in the grid; the grid keeps the last accepted pallet's.
    SharedQuery ADOQuery1;
};
