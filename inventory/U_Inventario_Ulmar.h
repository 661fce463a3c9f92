#pragma once
// The count window on the client catalogue KV_ULMAR: the same window as
// TfrInventario on CxUlmar, scanning product codes; a recorded scan carries
// only the product id looked up from the code, with an empty series.

#include "inventory/U_Inventario.h"

class TfrInventarioUlmar : public TfrInventario
{
    Q_OBJECT
public:
    explicit TfrInventarioUlmar(QWidget* parent = nullptr);

    static const InventoryConfig& configuration();
};
