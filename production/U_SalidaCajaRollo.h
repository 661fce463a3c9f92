#pragma once
// Delivery of a pallet to a production station: the operator scans the pallet
// and the station and the server validates the delivery; a pallet planned for
// another station can be reassigned on the spot and validated again. It does
// not receive or move pallets afterwards (the receipt window does).

#include "app/shell/WorkflowWindow.h"

#include <memory>

namespace Ui
{
class TFr_SalidaCajaRollo;
}

class TFr_SalidaCajaRollo : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TFr_SalidaCajaRollo(QWidget* parent = nullptr);
    ~TFr_SalidaCajaRollo() override;

private:
    void edTarimaKeyDown(int key);
    void edMesaKeyDown(int key);

    // Sends the delivery validation with the fields as they are now; the trimmed Error.
    QString validateDelivery();
    // Sends the station change with the fields as they are now; the trimmed Error.
    QString changeStation();
    void showNotice(const QString& text);
    // A validated delivery (or a failed one after a reassignment) ends the cycle.
    void startNextPallet();

    std::unique_ptr<Ui::TFr_SalidaCajaRollo> ui;
};
