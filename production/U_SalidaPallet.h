#pragma once
// Receipt in production: one scan of a pallet that was delivered to its
// station records that production received it. One field, one command; the
// field is emptied after every answer so the next pallet can be scanned at once.

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TFr_Salida;
}

class TFr_Salida : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TFr_Salida(QWidget* parent = nullptr);
    ~TFr_Salida() override;

protected:
    void FormShow() override;

private:
    void edTarimaKeyDown(int key);

    std::unique_ptr<Ui::TFr_Salida> ui;
};
