// Every caption of the inbound, production and shipping windows is readable
// in the fonts the terminal really gets (the designed faces are often missing
// and a wider one stands in): no label cuts its text, and none runs into the
// field it names or the value shown beside it.
#include "inbound/U_EntradaCajaRollo.h"
#include "inbound/U_EntradaPallet.h"
#include "production/U_Embarque.h"
#include "production/U_EntregaTarimaACalidad.h"
#include "production/U_Reubica.h"
#include "production/U_SalidaCajaRollo.h"
#include "production/U_SalidaPallet.h"
#include "shipping/U_Consulta.h"
#include "shipping/U_Reubicaciones.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <functional>
#include <memory>

using WindowFactory = std::function<WorkflowWindow*()>;
Q_DECLARE_METATYPE(WindowFactory)

class TstCaptionsFit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void captions_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::newRow("Verificacion de Entrada")
            << WindowFactory([] { return new TFr_EntradaPallet; });
        QTest::newRow("Surtido") << WindowFactory([] { return new TFr_EntradaCajaRollo; });
        QTest::newRow("Entrega a mesa") << WindowFactory([] { return new TFr_SalidaCajaRollo; });
        QTest::newRow("Recibo") << WindowFactory([] { return new TFr_Salida; });
        QTest::newRow("Calidad") << WindowFactory([] { return new TfrEntregaTarimaACalidad; });
        QTest::newRow("Liberado") << WindowFactory([] { return new TfrLiberacionCalidadVElmor; });
        QTest::newRow("Consulta") << WindowFactory([] { return new Tfr_Embarque; });
        QTest::newRow("Embarque") << WindowFactory([] { return new TFr_Embarque1; });
        QTest::newRow("Reubicaciones") << WindowFactory([] { return new TfrReubicaciones; });
    }
    void captions()
    {
        QFETCH(WindowFactory, make);
        std::unique_ptr<WorkflowWindow> w(make());
        QCOMPARE(TerminalFixture::cutOffCaptions(w.get()), QStringList());

        // Captions that wrap onto two lines, and captions beside a value label,
        // are not covered by the fixture's check.
        const auto labels = w->findChildren<QLabel*>();
        for (QLabel* label : labels) {
            if (label->text().isEmpty())
                continue;
            const QString what = label->objectName() + " \"" + label->text() + "\"";
            if (label->wordWrap())
                QVERIFY2(label->heightForWidth(label->width()) <= label->height(),
                         qPrintable(what + " needs more lines than it has"));
            // The notice line of the entry window shares a row with the
            // suggestion by design; every other label keeps to itself.
            for (QLabel* other : labels)
                QVERIFY2(other == label || other->objectName() == QLatin1String("lbAvisos") ||
                             !label->geometry().intersects(other->geometry()),
                         qPrintable(what + " runs into " + other->objectName()));
        }
    }
};

QTEST_MAIN(TstCaptionsFit)
#include "tst_captionsfit.moc"
