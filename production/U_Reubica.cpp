#include "production/U_Reubica.h"
#include "ui_U_Reubica.h"

#include "app/shell/MessageService.h"
#include "app/shell/Refusal.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

namespace
{

WindowTraits liberacionTraits()
{
    // The form has an Enter handler but no key preview, so it never acts:
    // the focus moves only where the steps move it.
    return {.keyPreview = false,
            .formEnterMove = false,
            .close = WindowTraits::Close::Destroy,
            .buttons = WindowTraits::NoButtons,
            .sizeable = false};
}

const QString kNoExiste = QStringLiteral("No existe la tarima.");

} // namespace

TfrLiberacionCalidadVElmor::TfrLiberacionCalidadVElmor(QWidget* parent)
    : WorkflowWindow(liberacionTraits(), parent),
      ui(std::make_unique<Ui::TfrLiberacionCalidadVElmor>())
{
    ui->setupUi(this);
    onKeyDown(ui->edTarimaKV, [this](int key) { edTarimaKVKeyDown(key); });
    onKeyDown(ui->edTarimaVElmor, [this](int key) { edTarimaVElmorKeyDown(key); });
    onKeyDown(ui->edLocalidadTarima, [this](int key) { edLocalidadTarimaKeyDown(key); });
}

TfrLiberacionCalidadVElmor::~TfrLiberacionCalidadVElmor() = default;

void TfrLiberacionCalidadVElmor::FormShow()
{
    ui->edTarimaKV->clear();
    ui->edTarimaVElmor->clear();
    ui->edLocalidadTarima->clear();
    ui->edTarimaKV->setFocus();
}

void TfrLiberacionCalidadVElmor::edTarimaKVKeyDown(int key)
{
    if (!isEnter(key))
        return;
    const QString kv = ui->edTarimaKV->text().trimmed();
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx,
          CommandText(QStringLiteral("EXECUTE sp_KVR_ValidaTarimaProduccion")).quoted(kv));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1")) {
        messages().errorBox(kNoExiste, kNoExiste);
        focusAndSelect(ui->edTarimaKV);
        return;
    }
    ui->dbgLocalidadTarima->load(
        ADOQuery1, Dm_Velmor->Cx,
        CommandText(QStringLiteral("EXECUTE sp_KVR_SugiereLocalidadProduccion")).quoted(kv));
    ui->edTarimaVElmor->setFocus();
}

void TfrLiberacionCalidadVElmor::edTarimaVElmorKeyDown(int key)
{
    if (!isEnter(key))
        return;
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx, CommandText(QStringLiteral("EXECUTE sp_KVR_ValidaTarimaCliente"))
                             .quoted(ui->edTarimaVElmor->text().trimmed()));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("1")) {
        messages().errorBox(kNoExiste, kNoExiste);
        focusAndSelect(ui->edTarimaVElmor);
        return;
    }
    ui->edLocalidadTarima->setFocus();
}

void TfrLiberacionCalidadVElmor::edLocalidadTarimaKeyDown(int key)
{
    if (!isEnter(key))
        return;
    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.run(Dm_Velmor->Cx,
          CommandText(QStringLiteral("EXECUTE sp_KVR_GuardaUbicacionTarimaProduccion"))
              .quoted(ui->edTarimaKV->text().trimmed())
              .quoted(ui->edTarimaVElmor->text().trimmed(), QStringLiteral(","))
              .quoted(ui->edLocalidadTarima->text().trimmed(), QStringLiteral(","))
              .bare(idPersona(), QStringLiteral(",")));
    if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("0")) {
        ui->lbAvisos->setText(QStringLiteral("Localidad Actualizada"));
        ui->edTarimaKV->clear();
        ui->edTarimaVElmor->clear();
        ui->edLocalidadTarima->clear();
        ui->edTarimaKV->setFocus();
        return;
    }
    // This procedure describes its refusals in Mensaje, not ErrorDesc.
    showRefusal(q, QStringLiteral("Mensaje"));
}
