#include "production/U_SalidaCajaRollo.h"
#include "ui_U_SalidaCajaRollo.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

namespace
{

WindowTraits salidaCajaRolloTraits()
{
    return {.keyPreview = false,
            .formEnterMove = false,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

} // namespace

TFr_SalidaCajaRollo::TFr_SalidaCajaRollo(QWidget* parent)
    : WorkflowWindow(salidaCajaRolloTraits(), parent),
      ui(std::make_unique<Ui::TFr_SalidaCajaRollo>())
{
    ui->setupUi(this);
    ui->lbAvisos->clear();
    ui->lbAvisos->hide();
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
    onKeyDown(ui->edMesa, [this](int key) { edMesaKeyDown(key); });
}

TFr_SalidaCajaRollo::~TFr_SalidaCajaRollo() = default;

void TFr_SalidaCajaRollo::edTarimaKeyDown(int key)
{
    ui->lbAvisos->clear();
    if (isEnter(key))
        ui->edMesa->setFocus();
}

void TFr_SalidaCajaRollo::edMesaKeyDown(int key)
{
    if (!isEnter(key))
        return;
    if (ui->edTarima->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la tarima."));
        ui->edTarima->setFocus();
        return;
    }
    // A failure from here on is dropped: the operator sees the fields as the
    // step left them and scans again.
    dropFailures([&] {
        if (validateDelivery() == QLatin1String("0")) {
            showNotice(QStringLiteral("Validacion correcta."));
            startNextPallet();
            return;
        }
        const QString code = Dm_Velmor->Qr_Aux.text(QStringLiteral("Error"));
        showRefusal(Dm_Velmor->Qr_Aux, QStringLiteral("ErrorDesc"), QStringLiteral("Aviso"));
        // Only an exact "1" (as the server wrote it) means "assigned to another station".
        if (code != QLatin1String("1"))
            return;
        if (!messages().question(QStringLiteral("Desea reasignar tarima?"),
                                 QStringLiteral("Confirmacion")))
            return;

        if (changeStation() != QLatin1String("0"))
            showRefusal(Dm_Velmor->Qr_Aux);
        else
            showNotice(QStringLiteral("Asignación correcta de mesa."));

        if (validateDelivery() != QLatin1String("0")) {
            showRefusal(Dm_Velmor->Qr_Aux);
            startNextPallet();
            return;
        }
        showNotice(QStringLiteral("Validacion correcta."));
        startNextPallet();
    });
}

QString TFr_SalidaCajaRollo::validateDelivery()
{
    Dm_Velmor->Qr_Aux.run(Dm_Velmor->Cx,
                          CommandText(QStringLiteral("EXEC sp_KVR_OrdenProduccionValidaEntrega"))
                              .quoted(ui->edTarima->text().trimmed())
                              .quoted(ui->edMesa->text().trimmed(), QStringLiteral(","))
                              .bare(idPersona(), QStringLiteral(", ")));
    return Dm_Velmor->Qr_Aux.text(QStringLiteral("Error")).trimmed();
}

QString TFr_SalidaCajaRollo::changeStation()
{
    Dm_Velmor->Qr_Aux.run(Dm_Velmor->Cx,
                          CommandText(QStringLiteral("execute sp_KVR_OrdenProduccionCambiaMesa"))
                              .quoted(ui->edTarima->text().trimmed())
                              .quoted(ui->edMesa->text().trimmed(), QStringLiteral(" ,"))
                              .bare(idPersona(), QStringLiteral(", ")));
    return Dm_Velmor->Qr_Aux.text(QStringLiteral("Error")).trimmed();
}

void TFr_SalidaCajaRollo::showNotice(const QString& text)
{
    ui->lbAvisos->show();
    ui->lbAvisos->setText(text);
}

void TFr_SalidaCajaRollo::startNextPallet()
{
    ui->edTarima->clear();
    ui->edMesa->clear();
    ui->edTarima->setFocus();
}
