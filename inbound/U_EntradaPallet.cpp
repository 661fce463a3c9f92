#include "inbound/U_EntradaPallet.h"
#include "ui_U_EntradaPallet.h"

#include "app/shell/MessageService.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

namespace
{
const QString kNoCorresponde = QStringLiteral("No corresponde el pallet Velmór con el pallet KV");
const QString kLocalidadIncorrecta = QStringLiteral("Localidad Incorrecta");
const QString kYaAfectada =
    QStringLiteral("No es posible registrar la localidad por que ya tiene fecha de afectación.");
const QString kLocalidadNoExiste = QStringLiteral("La localidad no existe en el almacén.");
} // namespace

WindowTraits TFr_EntradaPallet::windowTraits()
{
    return {.keyPreview = true,
            .formEnterMove = true,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

TFr_EntradaPallet::TFr_EntradaPallet(QWidget* parent)
    : WorkflowWindow(windowTraits(), parent), ui(std::make_unique<Ui::TFr_EntradaPallet>())
{
    ui->setupUi(this);
    onKeyDown(ui->EdPalletKV, [this](int key) { EdPalletKVKeyDown(key); });
    onKeyDown(ui->EdPalletVelmor, [this](int key) { EdPalletVelmorKeyDown(key); });
    onKeyDown(ui->EdUbicacion, [this](int key) { EdUbicacionKeyDown(key); });
    connect(ui->EdPalletKV, &QLineEdit::textChanged, this, &TFr_EntradaPallet::EdPalletKVChange);
    connect(ui->EdPalletVelmor, &QLineEdit::textChanged, this,
            &TFr_EntradaPallet::EdPalletKVChange);
}

TFr_EntradaPallet::~TFr_EntradaPallet() = default;

void TFr_EntradaPallet::FormShow()
{
    // A new window waits for the first pallet code.
    ui->EdPalletKV->setFocus();
}

void TFr_EntradaPallet::EdPalletKVChange()
{
    // Both pallet fields are bound to this handler; typing alone decides nothing.
}

void TFr_EntradaPallet::EdPalletKVKeyDown(int key)
{
    if (!isEnter(key))
        return;
    auto& q = Dm_Velmor->Qr_Aux;
    const QString pallet = ui->EdPalletKV->text().trimmed();

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_Kvr_IdentificaTipoEntrada").quoted(pallet));
    const QString kind = q.text("ID_Procedimiento").trimmed();

    if (kind == QLatin1String("186")) {
        ui->EdPalletVelmor->setReadOnly(false);
        ui->EdPalletVelmor->clear();
        q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_SugiereLocalidadEntrada").quoted(pallet));
        ui->lbLocalidadSugerida->setText(q.text("ID_Localidad").trimmed());
        // Round the tab order back to the pallet code; the form's Enter move
        // then lands on the client's label.
        selectNext(3);
    } else if (kind == QLatin1String("187")) {
        ui->EdPalletVelmor->setReadOnly(true);
        ui->EdPalletVelmor->clear();
        q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_SugiereLocalidadEntrada").quoted(pallet));
        ui->lbLocalidadSugerida->setText(q.text("ID_Localidad").trimmed());
        // No client label for this kind: the Enter move lands on the location.
        selectNext(4);
    }
    // Any other kind leaves the window as it is; the Enter move goes on to the label.
}

void TFr_EntradaPallet::EdPalletVelmorKeyDown(int)
{
    ui->lbAvisos->clear();
}

void TFr_EntradaPallet::EdUbicacionKeyDown(int key)
{
    if (!isEnter(key))
        return;
    auto& q = Dm_Velmor->Qr_Aux;

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_KVR_ValidaPallet")
                             .quoted(ui->EdPalletKV->text().trimmed())
                             .quoted(ui->EdPalletVelmor->text().trimmed(), ","));
    if (q.isEmpty()) {
        messages().errorBox(kNoCorresponde, kNoCorresponde);
        focusAndSelect(ui->EdPalletVelmor);
        return;
    }

    q.run(Dm_Velmor->Cx,
          CommandText("EXECUTE sp_KVR_ValidaLocalidad").quoted(ui->EdUbicacion->text().trimmed()));
    if (q.isEmpty()) {
        messages().errorBox(kLocalidadIncorrecta, kLocalidadIncorrecta);
        focusAndSelect(ui->EdUbicacion);
        return;
    }

    q.run(Dm_Velmor->Cx, CommandText("EXECUTE sp_Kvr_GuardaUbicacion")
                             .quoted(ui->EdPalletKV->text().trimmed())
                             .quoted(ui->EdPalletVelmor->text().trimmed(), ", ")
                             .quoted(ui->EdUbicacion->text().trimmed(), ", ")
                             .bare(idPersona(), ", "));
    const QString code = q.text("Error").trimmed();
    if (code == QLatin1String("3")) {
        messages().errorBox(kYaAfectada, kYaAfectada.chopped(1));
        restartCycle();
        return;
    }
    if (code == QLatin1String("4")) {
        messages().errorBox(kLocalidadNoExiste, kLocalidadNoExiste);
        restartCycle();
        return;
    }

    ui->lbAvisos->setText(QStringLiteral("Verificación correcta"));
    ui->EdPalletVelmor->clear();
    ui->EdPalletKV->clear();
    ui->EdUbicacion->clear();
    // Two moves from the pallet code reach the location; the Enter move wraps
    // back to the pallet code for the next pallet.
    ui->EdPalletKV->setFocus();
    selectNext(2);
}

void TFr_EntradaPallet::restartCycle()
{
    ui->EdPalletVelmor->clear();
    ui->EdPalletKV->clear();
    ui->EdUbicacion->clear();
    ui->EdPalletKV->setFocus();
}
