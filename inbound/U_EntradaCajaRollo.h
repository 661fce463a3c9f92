#pragma once
// Supply of a component by box or roll against an exit ticket: checks the
// ticket and the component pallet, lists the locations the server suggests
// for that component, and records the quantity taken. The grid is for reading
// only; nothing is ever written through it.

#include "app/shell/WorkflowWindow.h"
#include "data/SharedQuery.h"

#include <memory>

namespace Ui
{
class TFr_EntradaCajaRollo;
}

class TFr_EntradaCajaRollo : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TFr_EntradaCajaRollo(QWidget* parent = nullptr);
    ~TFr_EntradaCajaRollo() override;

    static WindowTraits windowTraits();

protected:
    void FormShow() override;

private:
    void TxtTicketKeyDown(int key);
    void TxtPalletProdKeyDown(int key);
    void TxtPalletCompKeyDown(int key);
    void TxtPalletComponenteKeyDown(int key);

    std::unique_ptr<Ui::TFr_EntradaCajaRollo> ui;
    // The suggestion list's own query; its rows stay in the grid until the
    // next accepted component pallet.
    SharedQuery ADOQuery1;
};
