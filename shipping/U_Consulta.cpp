#include "shipping/U_Consulta.h"
#include "ui_U_Consulta.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

#include <exception>

WindowTraits TFr_Embarque1::windowTraits()
{
    return {.keyPreview = true,
            .formEnterMove = true,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

TFr_Embarque1::TFr_Embarque1(QWidget* parent)
    : WorkflowWindow(windowTraits(), parent), ui(std::make_unique<Ui::TFr_Embarque1>())
{
    ui->setupUi(this);
    ui->lbAvisos->hide();
    onKeyDown(ui->edManifiesto, [this](int key) { edManifiestoKeyDown(key); });
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
}

TFr_Embarque1::~TFr_Embarque1() = default;

void TFr_Embarque1::FormShow()
{
    // A new window waits for the manifest.
    ui->edManifiesto->setFocus();
}

void TFr_Embarque1::edManifiestoKeyDown(int)
{
    // The manifest is only checked together with a pallet; Enter moves on by
    // the form's own move.
}

void TFr_Embarque1::edTarimaKeyDown(int key)
{
    if (!isEnter(key))
        return;
    // An empty manifest sends the operator to the pallet field as well: the
    // Enter that follows the scan there moves on to the manifest.
    if (ui->edManifiesto->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese el manifiesto."));
        ui->edTarima->setFocus();
        return;
    }
    if (ui->edTarima->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la tarima."));
        ui->edTarima->setFocus();
        return;
    }

    dropFailures([&] {
        auto& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx, CommandText("EXEC sp_KVR_ValidaEmbarque")
                                 .quoted(ui->edManifiesto->text().trimmed())
                                 .quoted(ui->edTarima->text().trimmed(), ",")
                                 .bare(idPersona(), ", "));
        if (q.text("Error").trimmed() == QLatin1String("0")) {
            ui->lbAvisos->show();
            ui->lbAvisos->setText(QStringLiteral("Validacion correcta."));
            ui->edTarima->clear();
            ui->edManifiesto->clear();
            // The form's Enter move wraps from here to the manifest.
            ui->edTarima->setFocus();
            return;
        }
        showRefusal(q);
    });
}
