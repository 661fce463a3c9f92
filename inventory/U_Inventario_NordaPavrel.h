#pragma once
// The count window on the client catalogue KV_NORDAPAVREL: the same window as
// TfrInventario on CxNordaPavrel, scanning product codes; the code still goes
// out as the series of each recorded scan.

#include "inventory/U_Inventario.h"

class TfrInventarioNordaPavrel : public TfrInventario
{
    Q_OBJECT
public:
    explicit TfrInventarioNordaPavrel(QWidget* parent = nullptr);

    static const InventoryConfig& configuration();
};
