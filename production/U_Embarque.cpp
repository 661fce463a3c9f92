#include "production/U_Embarque.h"
#include "ui_U_Embarque.h"

#include "app/shell/MessageService.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

namespace
{

WindowTraits embarqueTraits()
{
    // Key preview without a form Enter handler: Enter does not move the focus.
    // No close handler and no minimise button: a close request does nothing.
    return {.keyPreview = true,
            .formEnterMove = false,
            .close = WindowTraits::Close::Ignore,
            .buttons = WindowTraits::NoButtons,
            .sizeable = true};
}

} // namespace

Tfr_Embarque::Tfr_Embarque(QWidget* parent)
    : WorkflowWindow(embarqueTraits(), parent), ui(std::make_unique<Ui::Tfr_Embarque>())
{
    ui->setupUi(this);
    onKeyDown(ui->edTarima, [this](int key) { edTarimaKeyDown(key); });
}

Tfr_Embarque::~Tfr_Embarque() = default;

void Tfr_Embarque::edTarimaKeyDown(int key)
{
    if (!isEnter(key))
        return;
    const QString pallet = ui->edTarima->text().trimmed();
    if (pallet.isEmpty()) {
        messages().errorBox(QStringLiteral("Ingrese la tarima."), QStringLiteral("Error"));
        ui->edTarima->setFocus();
        return;
    }
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx,
          CommandText(QStringLiteral("EXECUTE sp_KVR_VerificaTarima")).quoted(pallet));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1")) {
        const QString text = QStringLiteral("No existe la tarima.");
        messages().errorBox(text, text);
        focusAndSelect(ui->edTarima);
        return;
    }
    ui->dbgLocalidadTarima->load(
        ADOQuery1, Dm_Velmor->Cx,
        CommandText(QStringLiteral("EXECUTE sp_KVR_ConsultaTarimaProduccion")).quoted(pallet));
}
