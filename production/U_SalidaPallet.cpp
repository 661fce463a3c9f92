#include "production/U_SalidaPallet.h"
#include "ui_U_SalidaPallet.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/U_Data.h"

namespace
{

WindowTraits salidaTraits()
{
    return {.keyPreview = true,
            .formEnterMove = true,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

} // namespace

TFr_Salida::TFr_Salida(QWidget* parent)
    : WorkflowWindow(salidaTraits(), parent), ui(std::make_unique<Ui::TFr_Salida>())
{
    ui->setupUi(this);
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
}

TFr_Salida::~TFr_Salida() = default;

void TFr_Salida::FormShow()
{
    ui->edTarima->clear();
    ui->edTarima->setFocus();
}

void TFr_Salida::edTarimaKeyDown(int key)
{
    ui->lbAvisos->clear();
    if (!isEnter(key))
        return;
    const QString pallet = ui->edTarima->text().trimmed();
    if (pallet.isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la Tarima."));
        ui->edTarima->setFocus();
        return;
    }
    // A failure is dropped and the pallet stays in the field, so Enter tries again.
    try {
        SharedQuery& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx,
              CommandText(QStringLiteral("EXEC sp_KVR_OrdenProduccionRecepcionEnAreaProduccion"))
                  .quoted(pallet)
                  .bare(idPersona(), QStringLiteral(", ")));
        if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("0")) {
            ui->lbAvisos->setText(QStringLiteral("Recibido correctamente."));
            startNextPallet();
            return;
        }
        showRefusal(q);
        startNextPallet();
    } catch (const DbError&) {
    } catch (const std::exception&) {
    }
}

void TFr_Salida::startNextPallet()
{
    ui->edTarima->clear();
    ui->edTarima->setFocus();
}
