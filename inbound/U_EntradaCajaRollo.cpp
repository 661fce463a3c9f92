#include "inbound/U_EntradaCajaRollo.h"
#include "ui_U_EntradaCajaRollo.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

#include <exception>

namespace
{
const QString kNoExisteTicket = QStringLiteral("No existe el ticket.");
const QString kTicketInactivo = QStringLiteral("El ticket no se encuentra activo.");
const QString kNoExisteTarima = QStringLiteral("No existe la tarima.");
} // namespace

WindowTraits TFr_EntradaCajaRollo::windowTraits()
{
    return {.keyPreview = false,
            .formEnterMove = false,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

TFr_EntradaCajaRollo::TFr_EntradaCajaRollo(QWidget* parent)
    : WorkflowWindow(windowTraits(), parent), ui(std::make_unique<Ui::TFr_EntradaCajaRollo>())
{
    ui->setupUi(this);
    ui->lbAvisos->hide();
    ui->dbgLocalidadTarima->setColumns(
        {{QStringLiteral("localidad"), QStringLiteral("Localidad"), 50},
         {QStringLiteral("tarima"), QStringLiteral("Tarima"), 170}});
    onKeyDown(ui->TxtTicket, [this](int key) { TxtTicketKeyDown(key); });
    onKeyDown(ui->TxtPalletProd, [this](int key) { TxtPalletProdKeyDown(key); });
    onKeyDown(ui->TxtPalletComp, [this](int key) { TxtPalletCompKeyDown(key); });
    onKeyDown(ui->txtCantidad, [this](int key) { TxtPalletComponenteKeyDown(key); });
}

TFr_EntradaCajaRollo::~TFr_EntradaCajaRollo() = default;

void TFr_EntradaCajaRollo::FormShow()
{
    ui->TxtTicket->clear();
    ui->TxtTicket->setFocus();
}

void TFr_EntradaCajaRollo::TxtTicketKeyDown(int key)
{
    ui->lbAvisos->hide();
    if (!isEnter(key))
        return;
    auto& q = Dm_Velmor->Qr_Aux;
    const QString ticket = ui->TxtTicket->text().trimmed();

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_ValidaTicketLectora").quoted(ticket));
    const QString code = q.text("Error").trimmed();
    if (code == QLatin1String("1")) {
        messages().errorBox(kNoExisteTicket, kNoExisteTicket);
        focusAndSelect(ui->TxtTicket);
        return;
    }
    if (code == QLatin1String("2")) {
        messages().errorBox(kTicketInactivo, kTicketInactivo);
        focusAndSelect(ui->TxtTicket);
        return;
    }

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_Kvr_IdentificaProcedimiento").quoted(ticket));
    if (q.text("cuantos").trimmed() == QLatin1String("0")) {
        ui->TxtPalletProd->setReadOnly(false);
        ui->TxtPalletProd->clear();
        ui->TxtPalletProd->setFocus();
    } else {
        ui->TxtPalletProd->setReadOnly(true);
        ui->TxtPalletProd->clear();
        ui->TxtPalletComp->clear();
        ui->TxtPalletComp->setFocus();
    }
}

void TFr_EntradaCajaRollo::TxtPalletProdKeyDown(int key)
{
    if (isEnter(key))
        ui->TxtPalletComp->setFocus();
}

void TFr_EntradaCajaRollo::TxtPalletCompKeyDown(int key)
{
    if (!isEnter(key))
        return;
    auto& q = Dm_Velmor->Qr_Aux;
    const QString pallet = ui->TxtPalletComp->text().trimmed();

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_ValidaTarimaComponenteKV").quoted(pallet));
    if (q.text("Error").trimmed() == QLatin1String("1")) {
        messages().errorBox(kNoExisteTarima, kNoExisteTarima);
        focusAndSelect(ui->TxtPalletComp);
        return;
    }

    ui->dbgLocalidadTarima->load(
        ADOQuery1, Dm_Velmor->Cx,
        CommandText("EXECUTE sp_KVR_SugiereLocalidadParaSurtir").quoted(pallet));
    ui->txtCantidad->setFocus();
}

void TFr_EntradaCajaRollo::TxtPalletComponenteKeyDown(int key)
{
    if (!isEnter(key))
        return;
    if (ui->TxtTicket->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese el Ticket."));
        ui->TxtTicket->setFocus();
        return;
    }
    if (ui->TxtPalletComp->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese el pallet de componente"));
        ui->TxtPalletComp->setFocus();
        return;
    }
    if (ui->txtCantidad->text().trimmed().isEmpty()) {
        messages().plain(QStringLiteral("Ingrese la cantidad a apartar"));
        ui->txtCantidad->setFocus();
        return;
    }

    // Once the supply is sent, a failure leaves the operator in the quantity
    // field with everything as typed, ready to press Enter again.
    dropFailures([&] {
        auto& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx, CommandText("EXEC sp_KVR_ScannerSalidas3")
                                 .quoted(ui->TxtTicket->text().trimmed())
                                 .quoted(ui->TxtPalletComp->text().trimmed(), ",")
                                 .quoted(ui->TxtPalletProd->text().trimmed(), ", ")
                                 .quoted(ui->txtCantidad->text().trimmed(), ", ")
                                 .bare(idPersona(), ", "));
        if (q.text("Error").trimmed() != QLatin1String("0")) {
            showRefusal(q);
            return;
        }
        ui->lbAvisos->setText(q.text("ErrorDesc").trimmed());
        ui->lbAvisos->show();
        ui->TxtPalletProd->clear();
        ui->TxtPalletComp->clear();
        ui->txtCantidad->clear();
        focusAndSelect(ui->TxtTicket);
    });
}
