#pragma once
// Relocation of a pallet: the server validates the move, the operator
// confirms it, the server records it. No operator id travels with it.

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TfrReubicaciones;
}

class TfrReubicaciones : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TfrReubicaciones(QWidget* parent = nullptr);
    ~TfrReubicaciones() override;

    static WindowTraits windowTraits();

protected:
    void FormShow() override;

private:
    void edTarimaKeyDown(int key);
    void edMesaKeyDown(int key);

    std::unique_ptr<Ui::TfrReubicaciones> ui;
};
