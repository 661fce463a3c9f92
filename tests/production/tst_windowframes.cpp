// The frame of each inbound, production and shipping window: its title-bar
// buttons, what a close request does to it, whether Enter alone moves on, the
// length limits of its fields, and captions readable in the fonts the
// terminal really gets (the designed faces are often missing and a wider one
// stands in).
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
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>
#include <functional>
#include <memory>

using WindowFactory = std::function<WorkflowWindow*()>;
Q_DECLARE_METATYPE(WindowFactory)

class TstWindowFrames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frame_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::addColumn<QString>("buttons");    // S system menu, N minimise, X maximise
        QTest::addColumn<QString>("onClose");    // destroyed, minimised or open
        QTest::addColumn<QString>("field");      // a field whose Enter sends nothing ...
        QTest::addColumn<QString>("afterEnter"); // ... and where the focus is then

        QTest::newRow("Verificacion de Entrada")
            << WindowFactory([] { return new TFr_EntradaPallet; }) << ""
            << "destroyed"
            << "EdPalletVelmor"
            << "EdUbicacion";
        QTest::newRow("Surtido") << WindowFactory([] { return new TFr_EntradaCajaRollo; }) << ""
                                 << "destroyed"
                                 << "TxtPalletProd"
                                 << "TxtPalletComp";
        QTest::newRow("Entrega a mesa")
            << WindowFactory([] { return new TFr_SalidaCajaRollo; }) << ""
            << "destroyed"
            << "edTarima"
            << "edMesa";
        QTest::newRow("Recibo") << WindowFactory([] { return new TFr_Salida; }) << ""
                                << "destroyed"
                                << "edTarima"
                                << "edTarima";
        QTest::newRow("Calidad") << WindowFactory([] { return new TfrEntregaTarimaACalidad; })
                                 << "SNX"
                                 << "minimised"
                                 << "edTarima"
                                 << "edTarima";
        QTest::newRow("Liberado") << WindowFactory([] { return new TfrLiberacionCalidadVElmor; })
                                  << ""
                                  << "destroyed"
                                  << ""
                                  << "";
        QTest::newRow("Consulta") << WindowFactory([] { return new Tfr_Embarque; }) << ""
                                  << "open"
                                  << "edTarima"
                                  << "edTarima";
        QTest::newRow("Embarque") << WindowFactory([] { return new TFr_Embarque1; }) << ""
                                  << "destroyed"
                                  << "edManifiesto"
                                  << "edTarima";
        QTest::newRow("Reubicaciones") << WindowFactory([] { return new TfrReubicaciones; }) << ""
                                       << "open"
                                       << "edTarima"
                                       << "edMesa";
    }
    void frame()
    {
        QFETCH(WindowFactory, make);
        QFETCH(QString, buttons);
        QFETCH(QString, onClose);
        QFETCH(QString, field);
        QFETCH(QString, afterEnter);
        TerminalFixture fx;
        WorkflowWindow* w = make();
        QPointer<QMdiSubWindow> child = fx.open(w, QStringLiteral("Ventana"));

        const Qt::WindowFlags flags = child->windowFlags();
        QCOMPARE(bool(flags & Qt::WindowSystemMenuHint), buttons.contains('S'));
        QCOMPARE(bool(flags & Qt::WindowCloseButtonHint), buttons.contains('S'));
        QCOMPARE(bool(flags & Qt::WindowMinimizeButtonHint), buttons.contains('N'));
        QCOMPARE(bool(flags & Qt::WindowMaximizeButtonHint), buttons.contains('X'));
        QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));
        QVERIFY(child->isMaximized());

        // Where Enter alone leaves the focus tells the form's Enter move (key
        // preview with a key-press handler) apart from the steps' own moves.
        if (!field.isEmpty()) {
            auto* edit = w->findChild<QLineEdit*>(field);
            QVERIFY(edit);
            TerminalFixture::type(edit, QString());
            QCOMPARE(TerminalFixture::focusName(), afterEnter);
            QCOMPARE(fx.journal(), QStringList());
        }

        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QString state = !child                 ? QStringLiteral("destroyed")
                              : child->isMinimized() ? QStringLiteral("minimised")
                              : child->isVisible()   ? QStringLiteral("open")
                                                     : QStringLiteral("hidden");
        QCOMPARE(state, onClose);
        // A window that outlives the request is the same one, still the menu's to find.
        if (child) {
            QCOMPARE(child->widget(), static_cast<QWidget*>(w));
            QCOMPARE(fx.area()->subWindowList(), QList<QMdiSubWindow*>{child.data()});
        }
    }

    // Every edit box of the window with its length limit (0: none); a scan
    // longer than the limit is cut by the field.
    void lengthLimits_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::addColumn<QStringList>("limits");
        QTest::newRow("Verificacion de Entrada")
            << WindowFactory([] { return new TFr_EntradaPallet; })
            << QStringList{"EdPalletKV:0", "EdPalletVelmor:0", "EdUbicacion:0"};
        QTest::newRow("Surtido") << WindowFactory([] {
            return new TFr_EntradaCajaRollo;
        }) << QStringList{"TxtTicket:0", "TxtPalletProd:0", "TxtPalletComp:0", "txtCantidad:0"};
        QTest::newRow("Entrega a mesa") << WindowFactory([] { return new TFr_SalidaCajaRollo; })
                                        << QStringList{"edTarima:45", "edMesa:15"};
        QTest::newRow("Recibo") << WindowFactory([] { return new TFr_Salida; })
                                << QStringList{"edTarima:15"};
        QTest::newRow("Calidad") << WindowFactory([] { return new TfrEntregaTarimaACalidad; })
                                 << QStringList{"edTarima:15"};
        QTest::newRow("Liberado") << WindowFactory([] {
            return new TfrLiberacionCalidadVElmor;
        }) << QStringList{"edTarimaKV:0", "edTarimaVElmor:0", "edLocalidadTarima:0"};
        QTest::newRow("Consulta") << WindowFactory([] { return new Tfr_Embarque; })
                                  << QStringList{"edTarima:0"};
        QTest::newRow("Embarque") << WindowFactory([] { return new TFr_Embarque1; })
                                  << QStringList{"edManifiesto:0", "edTarima:0"};
        QTest::newRow("Reubicaciones") << WindowFactory([] { return new TfrReubicaciones; })
                                       << QStringList{"edTarima:45", "edMesa:15"};
    }
    void lengthLimits()
    {
        QFETCH(WindowFactory, make);
        QFETCH(QStringList, limits);
        std::unique_ptr<WorkflowWindow> w(make());
        QCOMPARE(w->findChildren<QLineEdit*>().size(), limits.size());
        const QString scan(200, QLatin1Char('7'));
        for (const QString& entry : limits) {
            const QString name = entry.section(':', 0, 0);
            const int limit = entry.section(':', 1).toInt();
            auto* field = w->findChild<QLineEdit*>(name);
            QVERIFY2(field, qPrintable(name));
            field->setText(scan);
            QCOMPARE(field->text().size(), limit ? limit : scan.size());
        }
    }

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
        // Wine stands in for Windows' Tahoma and MS Sans Serif with faces of
        // other widths: what fits there says nothing about a real terminal.
        if (qEnvironmentVariableIsSet("LECTORA_UNDER_WINE"))
            QSKIP("caption widths need Windows' own fonts");
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
            // A value or notice label shown over a caption hides both.
            for (QLabel* other : labels)
                QVERIFY2(other == label || !label->geometry().intersects(other->geometry()),
                         qPrintable(what + " runs into " + other->objectName()));
        }
    }
};

QTEST_MAIN(TstWindowFrames)
#include "tst_windowframes.moc"
