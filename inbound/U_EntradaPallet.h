#pragma once
// Entry verification of an incoming pallet: identify its entry kind, match the
// client's label where the kind asks for it, and store it in a validated
// location. It only sequences the commands; every rule is the server's.

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TFr_EntradaPallet;
}

class TFr_EntradaPallet : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TFr_EntradaPallet(QWidget* parent = nullptr);
    ~TFr_EntradaPallet() override;

    static WindowTraits windowTraits();

protected:
    void FormShow() override;

private:
    void EdPalletKVKeyDown(int key);
    void EdPalletVelmorKeyDown(int key);
    void EdUbicacionKeyDown(int key);
    void EdPalletKVChange();

    // The refusals of the store command empty the whole cycle.
    void restartCycle();

    std::unique_ptr<Ui::TFr_EntradaPallet> ui;
};
