#pragma once
// Shipment: validates a scanned pallet against a shipping manifest in the
// operator's name. The server decides; the window only asks and shows.

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TFr_Embarque1;
}

class TFr_Embarque1 : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TFr_Embarque1(QWidget* parent = nullptr);
    ~TFr_Embarque1() override;

    static WindowTraits windowTraits();

protected:
    void FormShow() override;

private:
    void edManifiestoKeyDown(int key);
    void edTarimaKeyDown(int key);

    std::unique_ptr<Ui::TFr_Embarque1> ui;
};
