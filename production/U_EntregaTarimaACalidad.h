#pragma once
// Hand-over of a production pallet to quality: one scan per pallet, recorded
// with the operator. Closing the window only minimises it; the menu finds it
// again by its caption.

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TfrEntregaTarimaACalidad;
}

class TfrEntregaTarimaACalidad : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TfrEntregaTarimaACalidad(QWidget* parent = nullptr);
    ~TfrEntregaTarimaACalidad() override;

private:
    void edTarimaKeyDown(int key);

    std::unique_ptr<Ui::TfrEntregaTarimaACalidad> ui;
};
