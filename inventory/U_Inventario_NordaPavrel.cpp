#include "inventory/U_Inventario_NordaPavrel.h"

#include "data/U_Data.h"

const InventoryConfig& TfrInventarioNordaPavrel::configuration()
{
    static const InventoryConfig config{
        &TDm_Velmor::CxNordaPavrel,
        QStringLiteral("Producto"),
        52,
        QStringLiteral("Este producto no está considerado en el conteo."),
        QStringLiteral("El producto escaneado no existe"),
        true,
    };
    return config;
}

TfrInventarioNordaPavrel::TfrInventarioNordaPavrel(QWidget* parent)
    : TfrInventario(configuration(), parent)
{
}
