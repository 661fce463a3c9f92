#include "production/PalletScan.h"

#include "app/shell/MessageService.h"
#include "app/shell/Operator.h"
#include "app/shell/Refusal.h"
#include "app/shell/WorkflowWindow.h"
#include "data/CommandText.h"
#include "data/U_Data.h"

#include <QLabel>
#include <QLineEdit>
#include <exception>

void recordPalletScan(QLineEdit* edTarima, QLabel* lbAvisos, const QString& commandHead,
                      const QString& recorded)
{
    const QString pallet = edTarima->text().trimmed();
    if (pallet.isEmpty()) {
        MessageService::instance().plain(QStringLiteral("Ingrese la Tarima."));
        edTarima->setFocus();
        return;
    }
    WorkflowWindow::dropFailures([&] {
        SharedQuery& q = Dm_Velmor->Qr_Aux;
        q.run(Dm_Velmor->Cx,
              CommandText(commandHead).quoted(pallet).bare(Operator::id(), QStringLiteral(", ")));
        if (q.text(QStringLiteral("Error")).trimmed() == QLatin1String("0")) {
            lbAvisos->show();
            lbAvisos->setText(recorded);
        } else {
            showRefusal(q);
        }
        edTarima->clear();
        edTarima->setFocus();
    });
}
