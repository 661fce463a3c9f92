#pragma once
// The inventory count window: the operator chooses an open count, scans a
// location and then the items found there, one recorded scan each. The
// counting rules live in the server's procedures; this window decides which
// one runs when and shows the answers. The client-catalogue variants are the
// same window fed another configuration (U_Inventario_NordaPavrel,
// U_Inventario_Ulmar), never copies of its handlers.

#include "app/shell/WorkflowWindow.h"

#include <QString>
#include <memory>
#include <optional>

class Connection;
class StoredProc;
class TDm_Velmor;

namespace Ui
{
class TfrInventario;
}

// What tells the three count windows apart.
struct InventoryConfig {
    // The data module's connection every command of the window runs on.
    Connection TDm_Velmor::*connection;
    QString productLabel;   // caption of Label1, beside the scanned code
    int productLabelWidth;  // its width in pixels
    QString notInCount;     // error box: the code is not the count's product
    QString unknownProduct; // notice: the product-id lookup answered -1
    bool recordsSeries;     // the recording sends the scanned code as @serie

    static const InventoryConfig& nordaPreventa();
};

class TfrInventario : public WorkflowWindow
{
    Q_OBJECT
public:
    explicit TfrInventario(QWidget* parent = nullptr);
    ~TfrInventario() override;

    const InventoryConfig& config() const { return m_config; }

protected:
    TfrInventario(const InventoryConfig& config, QWidget* parent);

    void FormShow() override;

private:
    void CargaRegConteo();
    void cmbRegConteoChange();
    void edLocalidadKeyDown(int key);
    void EdProductoKeyDown(int key);
    void cmbAlmacenClick();
    void CargaLocalidades();
    void RegistraEscaneo();

    // Widens the caption column to the screen font's needs (see the .cpp).
    void fitCaptionColumn();
    Connection& connection() const override;
    // The component bound to this window's connection and closed, ready for its parameters.
    StoredProc& bind(StoredProc& component) const;
    // What the operator filled in for one scan, checked.
    struct ScanFields {
        QString almacen;
        QString localidad;
        QString producto;
        int cantidad = 0;
    };
    struct ProductLookup {
        int id = 0;
        bool found = false;
        bool unknown = false; // the server says no such product
    };

    // One recording, from the fields to the answer; RegistraEscaneo() runs it under its guard.
    void recordScan();
    // The fields checked in the order the operator is told about them, or nothing (notice shown).
    std::optional<ScanFields> readScanFields();
    ProductLookup lookUpProduct(const QString& producto);
    // Records the scan; false when the server refused it (and the operator was told).
    bool sendScan(const ScanFields& scan, int idProducto);
    void showScanned();
    // The quantity field as a whole number, or false (and the notice shown) when it is not one.
    bool readQuantity(int& quantity);

    const InventoryConfig& m_config;
    std::unique_ptr<Ui::TfrInventario> ui;
};
