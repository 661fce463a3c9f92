#include "shipping/U_Reubicaciones.h"
#include "ui_U_Reubicaciones.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

#include <exception>

WindowTraits TfrReubicaciones::windowTraits()
{
    return {.keyPreview = false,
            .formEnterMove = false,
            .close = WindowTraits::Close::Ignore,
            .buttons = WindowTraits::NoButtons,
            .sizeable = true};
}

TfrReubicaciones::TfrReubicaciones(QWidget* parent)
    : WorkflowWindow(windowTraits(), parent), ui(std::make_unique<Ui::TfrReubicaciones>())
{
    ui->setupUi(this);
    ui->lbAvisos->hide();
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
    onKeyDown(ui->edMesa, [this](int key) { edMesaKeyDown(key); });
}

TfrReubicaciones::~TfrReubicaciones() = default;

void TfrReubicaciones::FormShow()
{
    // A new window waits for the pallet.
    ui->edTarima->setFocus();
}

void TfrReubicaciones::edTarimaKeyDown(int key)
{
    // The notice is emptied but stays visible: the label keeps its place.
    ui->lbAvisos->clear();
    if (isEnter(key))
        ui->edMesa->setFocus();
}

void TfrReubicaciones::edMesaKeyDown(int key)
{
    if (!isEnter(key))
        return;
    if (ui->edTarima->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la tarima."));
        ui->edTarima->setFocus();
        return;
    }

    dropFailures([&] {
        auto& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx, CommandText("EXEC sp_KVR_ValidaTarimaUbicacion")
                                 .quoted(ui->edTarima->text().trimmed())
                                 .quoted(ui->edMesa->text().trimmed(), ","));
        if (q.text("Error").trimmed() != QLatin1String("0")) {
            showRefusal(q);
            return;
        }
        if (!messages().question(QStringLiteral("Cambiar de ubicación?"),
                                 QStringLiteral("Confirmacion")))
            return;

        q.run(Dm_Velmor->Cx, CommandText("execute sp_KVR_CambiaUbicacionTarima")
                                 .quoted(ui->edTarima->text().trimmed())
                                 .quoted(ui->edMesa->text().trimmed(), " ,"));
        if (q.text("Error").trimmed() != QLatin1String("0")) {
            showRefusal(q);
            return;
        }
        ui->lbAvisos->show();
        ui->lbAvisos->setText(QStringLiteral("Reubicación correcta."));
        ui->edTarima->clear();
        ui->edMesa->clear();
        ui->edTarima->setFocus();
    });
}
