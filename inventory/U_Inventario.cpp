#include "inventory/U_Inventario.h"
#include "ui_U_Inventario.h"

#include "app/shell/MessageService.h"
#include "data/CommandText.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "data/WholeNumber.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <limits>
#include <optional>

namespace
{

const QString kCiclico = QStringLiteral("Cíclico");
const QString kWallToWall = QStringLiteral("Wall to Wall");
const QString kNoOperation = QStringLiteral("No es posible realizar la operacion");

// A signed 32-bit whole number as typed: sign and ASCII digits only.
std::optional<int> typedWholeNumber(const QString& text)
{
    QString digits = text;
    if (digits.startsWith(u'+') || digits.startsWith(u'-'))
        digits.remove(0, 1);
    if (digits.isEmpty())
        return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(value);
}

} // namespace

const InventoryConfig& InventoryConfig::nordaPreventa()
{
    static const InventoryConfig config{
        &TDm_Velmor::Cx,
        QStringLiteral("Serie"),
        30,
        QStringLiteral("Este número de serie no está considerado en el conteo."),
        QStringLiteral("El número de serie escaneado no existe"),
        true,
    };
    return config;
}

TfrInventario::TfrInventario(QWidget* parent)
    : TfrInventario(InventoryConfig::nordaPreventa(), parent)
{
}

TfrInventario::TfrInventario(const InventoryConfig& config, QWidget* parent)
    : WorkflowWindow(WindowTraits{.keyPreview = false,
                                  .formEnterMove = false,
                                  .close = WindowTraits::Close::Ignore,
                                  .buttons = WindowTraits::Help,
                                  .sizeable = true},
                     parent),
      m_config(config), ui(std::make_unique<Ui::TfrInventario>())
{
    ui->setupUi(this);
    ui->Label1->setText(m_config.productLabel);
    ui->Label1->resize(m_config.productLabelWidth, ui->Label1->height());
    // Label captions are 9 pixels high whatever the screen's resolution.
    for (QLabel* label : findChildren<QLabel*>()) {
        QFont font = label->font();
        font.setPixelSize(9);
        label->setFont(font);
    }
    fitCaptionColumn();

    // Only a choice the operator makes counts as a change: filling or
    // clearing the list must not run the count's query.
    connect(ui->cmbRegConteo, &QComboBox::activated, this,
            [this] { guarded([this] { cmbRegConteoChange(); }); });
    connect(ui->cmbAlmacen, &QComboBox::activated, this,
            [this] { guarded([this] { cmbAlmacenClick(); }); });
    onKeyDown(ui->edLocalidad, [this](int key) { edLocalidadKeyDown(key); });
    onKeyDown(ui->EdProducto, [this](int key) { EdProductoKeyDown(key); });
}

TfrInventario::~TfrInventario() = default;

void TfrInventario::fitCaptionColumn()
{
    // The form's widths suit the font it was drawn with; the screen's may be
    // wider. A caption then keeps the room its text needs, and the fields and
    // what stands right of them move over by as much, so no caption is cut
    // off or hidden under its field.
    const QList<QLabel*> captions = {ui->Serie, ui->Label3, ui->LblTicket,
                                     ui->Guia,  ui->Label2, ui->Label1};
    const int fieldColumn = ui->cmbRegConteo->x();
    const int gap = fieldColumn - (ui->Serie->x() + ui->Serie->width());
    int captionRight = 0;
    for (QLabel* caption : captions) {
        const QSize needed = caption->sizeHint();
        caption->resize(std::max(caption->width(), needed.width()),
                        std::max(caption->height(), needed.height()));
        captionRight = std::max(captionRight, caption->x() + caption->width());
    }
    const int shift = captionRight + gap - fieldColumn;
    if (shift <= 0)
        return;
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->x() >= fieldColumn)
            child->move(child->x() + shift, child->y());
    }
}

Connection& TfrInventario::connection() const
{
    return Dm_Velmor->*m_config.connection;
}

StoredProc& TfrInventario::bind(StoredProc& component) const
{
    component.setConnection(connection());
    component.close();
    return component;
}

void TfrInventario::FormShow()
{
    ui->cmbRegConteo->setFocus();
    CargaRegConteo();
}

void TfrInventario::CargaRegConteo()
{
    ui->cmbRegConteo->clear();
    try {
        StoredProc& sp = bind(Dm_Velmor->sp_KVR_ConsultaCatInventarioConteo);
        sp.setParam(QStringLiteral("@Estatus"), 1);
        sp.open();
        while (!sp.eof()) {
            ui->cmbRegConteo->addItem(sp.text(QStringLiteral("inv_referencia")),
                                      sp.integer(QStringLiteral("id_inventarioconteo")));
            sp.next();
        }
    } catch (const std::exception&) {
        Dm_Velmor->sp_KVR_ConsultaCatInventarioConteo.close();
        messages().notice(kNoOperation);
    }
    ui->cmbRegConteo->setCurrentIndex(-1);
}

void TfrInventario::cmbRegConteoChange()
{
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(connection(), CommandText(QStringLiteral("EXECUTE sp_KVR_InventarioConsultaConteo"))
                            .quoted(ui->cmbRegConteo->currentText()));

    ui->edTipo->setText(q.text(QStringLiteral("TipoInventario")).trimmed());
    const QString almacen = q.text(QStringLiteral("Almacen")).trimmed();
    ui->edAlmacen->setText(almacen);
    ui->cmbAlmacen->setCurrentText(almacen);

    if (q.text(QStringLiteral("producto")).trimmed() == QLatin1String("-1")) {
        ui->EdProducto->clear();
        ui->lbProducto->clear();
    } else {
        const QString clave = q.text(QStringLiteral("claveproducto")).trimmed();
        ui->EdProducto->setText(clave);
        ui->lbProducto->setText(clave);
    }

    if (ui->edTipo->text() == kWallToWall) {
        ui->edLocalidad->clear();
        ui->EdProducto->clear();
    }

    // A count that takes no typed quantity counts one item per scan; a
    // quantity left over from another count must not ride along locked.
    if (q.text(QStringLiteral("PermiteCapturacantidad")).trimmed() == QLatin1String("n")) {
        ui->edtCantidadProducto->setReadOnly(true);
        ui->edtCantidadProducto->setText(QStringLiteral("1"));
    } else {
        ui->edtCantidadProducto->setReadOnly(false);
    }

    ui->edLocalidad->setFocus();
}

void TfrInventario::edLocalidadKeyDown(int key)
{
    if (!isEnter(key))
        return;
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(connection(), CommandText(QStringLiteral("EXECUTE sp_KVR_InventarioValidaLocalidad"))
                            .quoted(ui->edAlmacen->text().trimmed())
                            .quoted(ui->edLocalidad->text().trimmed(), QStringLiteral(", ")));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1")) {
        const QString text = QStringLiteral("No existe la localidad.");
        messages().errorBox(text, text);
        ui->edLocalidad->setFocus();
    } else {
        ui->EdProducto->setFocus();
    }
}

void TfrInventario::EdProductoKeyDown(int key)
{
    if (!isEnter(key))
        return;
    const QString producto = ui->EdProducto->text().trimmed();
    const QString restriccion = ui->lbProducto->text().trimmed();
    if (!restriccion.isEmpty() && producto != restriccion) {
        messages().errorBox(m_config.notInCount, m_config.notInCount);
        return;
    }
    if (ui->edTipo->text() == kCiclico) {
        RegistraEscaneo();
        return;
    }
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(connection(),
          CommandText(QStringLiteral("EXECUTE sp_KVR_InventarioValidaProductoLocalidad"))
              .quoted(ui->edAlmacen->text().trimmed())
              .quoted(ui->edLocalidad->text().trimmed(), QStringLiteral(", "))
              .quoted(producto, QStringLiteral(", ")));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1")) {
        const QString text = QStringLiteral("No existe el producto en la localidad.");
        messages().errorBox(text, text);
        return;
    }
    RegistraEscaneo();
}

void TfrInventario::cmbAlmacenClick()
{
    if (ui->cmbAlmacen->currentText().trimmed().isEmpty()) {
        messages().notice(QStringLiteral("Debes seleccionar un almacen"));
        return;
    }
    CargaLocalidades();
}

void TfrInventario::CargaLocalidades()
{
    ui->cmbLocalidad->clear();
    try {
        if (ui->cmbAlmacen->currentIndex() < 0)
            throw DbError(DbError::Kind::Other, QStringLiteral("no warehouse item is selected"));
        StoredProc& sp = bind(Dm_Velmor->sp_KVR_ConsultaCatLocalidad);
        sp.setParam(QStringLiteral("@ParaCombo"), false);
        sp.setParam(QStringLiteral("@id_almacen"), ui->cmbAlmacen->currentData().toInt());
        sp.setParam(QStringLiteral("@Descripcion"), QString(""));
        sp.open();
        while (!sp.eof()) {
            ui->cmbLocalidad->addItem(sp.text(QStringLiteral("id_localidad")).trimmed());
            sp.next();
        }
    } catch (const std::exception&) {
        Dm_Velmor->sp_KVR_ConsultaCatLocalidad.close();
        messages().notice(kNoOperation);
    }
}

void TfrInventario::RegistraEscaneo()
{
    try {
        recordScan();
    } catch (const std::exception&) {
        messages().notice(kNoOperation);
    }
}

bool TfrInventario::readQuantity(int& quantity)
{
    const std::optional<int> value = typedWholeNumber(ui->edtCantidadProducto->text().trimmed());
    if (!value) {
        messages().notice(QStringLiteral("La cantidad capturada no es numerica"));
        ui->edtCantidadProducto->setFocus();
        return false;
    }
    ui->edtCantidadProducto->setText(QString::number(*value));
    // "00" or "-0" is zero too, and must not slip past the zero check.
    if (*value == 0) {
        messages().notice(QStringLiteral("La cantidad del producto no puede ser 0"));
        ui->edtCantidadProducto->setFocus();
        return false;
    }
    quantity = *value;
    return true;
}

void TfrInventario::recordScan()
{
    ui->lblMensaje->clear();
    const std::optional<ScanFields> scan = readScanFields();
    if (!scan)
        return;
    const ProductLookup product = lookUpProduct(scan->producto);
    if (product.unknown) {
        messages().notice(m_config.unknownProduct);
        ui->lblMensaje->setText(QStringLiteral("Error"));
        ui->EdProducto->clear();
        return;
    }
    // A window that does not send the series has nothing else to identify
    // the product by, so there a failed lookup fails the scan instead of
    // recording one that names nothing.
    if (!product.found && !m_config.recordsSeries)
        throw DbError(DbError::Kind::Conversion, QStringLiteral("the product id could not be had"));
    if (sendScan(*scan, product.id))
        showScanned();
}

std::optional<TfrInventario::ScanFields> TfrInventario::readScanFields()
{
    if (ui->cmbRegConteo->currentText().trimmed().isEmpty()) {
        messages().notice(QStringLiteral("Debes seleccionar un registro de conteo"));
        return std::nullopt;
    }
    ScanFields scan;
    scan.almacen = ui->edAlmacen->text().trimmed();
    if (scan.almacen.isEmpty()) {
        messages().notice(QStringLiteral("Debes seleccionar un registro de almacen"));
        return std::nullopt;
    }
    scan.localidad = ui->edLocalidad->text().trimmed();
    if (scan.localidad.isEmpty() && ui->edTipo->text() != kCiclico) {
        messages().notice(QStringLiteral("Debes seleccionar un registro de localidad"));
        return std::nullopt;
    }
    if (!readQuantity(scan.cantidad))
        return std::nullopt;
    scan.producto = ui->EdProducto->text().trimmed();
    if (scan.producto.isEmpty()) {
        messages().notice(QStringLiteral("Debes capturar un producto"));
        return std::nullopt;
    }
    if (ui->cmbRegConteo->currentIndex() < 0) {
        messages().notice(QStringLiteral(
            "El registro de conteo seleccionado fue alterado favor de seleccionar uno valido"));
        return std::nullopt;
    }
    return scan;
}

TfrInventario::ProductLookup TfrInventario::lookUpProduct(const QString& producto)
{
    // A failed lookup leaves id 0, which names no product: the server then
    // resolves the series on its own.
    ProductLookup result;
    try {
        StoredProc& sp = bind(Dm_Velmor->sp_KVR_ObtieneIDProducto);
        sp.setParam(QStringLiteral("@Serie"), producto);
        sp.execProc();
        // An id outside the parameter's range names no product either.
        const std::optional<int> id =
            wholenumber::read<int>(sp.output(QStringLiteral("@id_producto")));
        if (id && *id == -1) {
            result.unknown = true;
        } else if (id && *id != 0) {
            result.id = *id;
            result.found = true;
        }
    } catch (const std::exception&) {
    }
    return result;
}

bool TfrInventario::sendScan(const ScanFields& scan, int idProducto)
{
    StoredProc& sp = bind(Dm_Velmor->sp_KVR_ScaneoInventarioDet);
    sp.setParam(QStringLiteral("@id_personausuario"), idPersona());
    sp.setParam(QStringLiteral("@id_inventarioconteo"), ui->cmbRegConteo->currentData().toInt());
    sp.setParam(QStringLiteral("@NombreAlmacen"), scan.almacen);
    sp.setParam(QStringLiteral("@id_localidad"), scan.localidad);
    sp.setParam(QStringLiteral("@id_producto"), idProducto);
    sp.setParam(QStringLiteral("@serie"), m_config.recordsSeries ? scan.producto : QString(""));
    sp.setParam(QStringLiteral("@lote"), QString(""));
    sp.setParam(QStringLiteral("@IndCantidad"), scan.cantidad);
    sp.execProc();

    // An empty @Error reads 0: success.
    const std::optional<int> code = wholenumber::read<int>(sp.output(QStringLiteral("@Error")));
    if (!code)
        throw DbError(DbError::Kind::Conversion, QStringLiteral("@Error is not a number"));
    if (*code <= 0)
        return true;
    // Retry only shows the server's answer again; the operator leaves with Ignore.
    while (messages().retryIgnore(
               sp.output(QStringLiteral("@ErrorDescripcion")).toString().trimmed() + QChar(13) +
               QStringLiteral(" Deseas Ignorar Este mensaje?")) != QMessageBox::Ignore) {
    }
    ui->lblMensaje->setText(QStringLiteral("Error"));
    ui->EdProducto->clear();
    return false;
}

void TfrInventario::showScanned()
{
    ui->lblMensaje->setText(ui->edtCantidadProducto->text().trimmed() +
                            QStringLiteral(" Producto(s) Escaneado"));
    // Painted at once so the operator sees it even while the next scan runs;
    // the message is what changed, and painting it alone costs a fraction of
    // painting the whole window.
    ui->lblMensaje->repaint();
    ui->edtCantidadProducto->setText(QStringLiteral("1"));
    ui->EdProducto->clear();
    ui->EdProducto->setFocus();
}
