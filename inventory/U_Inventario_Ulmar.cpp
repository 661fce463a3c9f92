#include "inventory/U_Inventario_Ulmar.h"

#include "data/U_Data.h"

const InventoryConfig& TfrInventarioUlmar::configuration()
{
    static const InventoryConfig config{
        &TDm_Velmor::CxUlmar,
        QStringLiteral("Producto"),
        52,
        QStringLiteral("Este producto no está considerado en el conteo."),
        QStringLiteral("El producto escaneado no existe"),
        false,
    };
    return config;
}

TfrInventarioUlmar::TfrInventarioUlmar(QWidget* parent) : TfrInventario(configuration(), parent) {}
