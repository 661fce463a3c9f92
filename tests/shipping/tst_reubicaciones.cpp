// Relocation window: validation, confirmation and recording of a move,
// through the real ODBC path to the in-process stand-in.
#include "app/shell/MessageService.h"
#include "shipping/U_Reubicaciones.h"
#include "tests/support/TerminalFixture.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <memory>

using namespace lectora::server;

namespace
{

const QString kValida = QStringLiteral("EXEC sp_KVR_ValidaTarimaUbicacion 'PT-1','D-1'");
const QString kCambia = QStringLiteral("execute sp_KVR_CambiaUbicacionTarima 'PT-1' ,'D-1'");

} // namespace

class TstReubicaciones : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TerminalFixture> fx;
    TfrReubicaciones* w = nullptr;
    QLineEdit *tarima = nullptr, *mesa = nullptr;
    QLabel* avisos = nullptr;

    void scriptAnswers(const std::string& check, const std::string& record)
    {
        fx->server().script("sp_KVR_ValidaTarimaUbicacion", [check](Call&) {
            return TerminalFixture::status(check, "validacion " + check);
        });
        fx->server().script("sp_KVR_CambiaUbicacionTarima", [record](Call&) {
            return TerminalFixture::status(record, "registro " + record);
        });
    }

private Q_SLOTS:
    void init()
    {
        fx = std::make_unique<TerminalFixture>();
        w = new TfrReubicaciones;
        fx->open(w, QStringLiteral("Reubicaciones"));
        tarima = w->findChild<QLineEdit*>("edTarima");
        mesa = w->findChild<QLineEdit*>("edMesa");
        avisos = w->findChild<QLabel*>("lbAvisos");
        QVERIFY(tarima && mesa && avisos);
        fx->clearJournal();
        TerminalFixture::clearMessages();
    }
    void cleanup()
    {
        fx.reset();
        w = nullptr;
    }

    void palletAloneSendsNothing()
    {
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
        TerminalFixture::type(tarima, "PT-1");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edMesa"));
        QVERIFY(fx->journal().isEmpty());
        // Without the form's Enter move, Enter in the location stays there.
        mesa->setText("D-1");
        fx->server().script("sp_KVR_ValidaTarimaUbicacion",
                            [](Call&) { return TerminalFixture::status("1", "no"); });
        TerminalFixture::type(mesa, "");
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edMesa"));
    }

    void blankPalletRefusedBeforeSending()
    {
        tarima->setText("   ");
        TerminalFixture::type(mesa, "D-1");
        QVERIFY(fx->journal().isEmpty());
        QCOMPARE(TerminalFixture::shown().size(), 1);
        QCOMPARE(TerminalFixture::shown()[0].form, MessageService::Form::Plain);
        QCOMPARE(TerminalFixture::shown()[0].text, QStringLiteral("Ingrese la tarima."));
        QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
    }

    void moves_data()
    {
        QTest::addColumn<QString>("check");
        QTest::addColumn<QString>("record");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("refusal"); // empty: none shown
        QTest::addColumn<bool>("moved");

        QTest::newRow("recorded") << " 0"
                                  << "0 " << true << QStringList{kValida, kCambia} << "" << true;
        QTest::newRow("answer No records nothing")
            << "0"
            << "0" << false << QStringList{kValida} << "" << false;
        QTest::newRow("check refused")
            << "3"
            << "0" << true << QStringList{kValida} << "Error: #3.\r\nvalidacion 3" << false;
        QTest::newRow("recording refused shows its own code")
            << "0"
            << "7" << true << QStringList{kValida, kCambia} << "Error: #7.\r\nregistro 7" << false;
        QTest::newRow("empty code is a refusal")
            << ""
            << "0" << true << QStringList{kValida} << "Error: #.\r\nvalidacion" << false;
    }
    void moves()
    {
        QFETCH(QString, check);
        QFETCH(QString, record);
        QFETCH(bool, yes);
        QFETCH(QStringList, commands);
        QFETCH(QString, refusal);
        QFETCH(bool, moved);
        scriptAnswers(check.toStdString(), record.toStdString());
        MessageService::instance().setNextAnswers({yes ? QMessageBox::Yes : QMessageBox::No});
        tarima->setText(" PT-1 ");
        mesa->setText("D-1 ");
        TerminalFixture::type(mesa, "");

        QCOMPARE(fx->journal(), commands);
        const auto& messages = TerminalFixture::shown();
        const bool asked = check.trimmed() == "0";
        QCOMPARE(messages.size(), int(asked) + int(!refusal.isEmpty()));
        if (asked) {
            QCOMPARE(messages[0].form, MessageService::Form::Question);
            QCOMPARE(messages[0].text, QString::fromUtf8("Cambiar de ubicación?"));
            QCOMPARE(messages[0].caption, QStringLiteral("Confirmacion"));
        }
        if (!refusal.isEmpty()) {
            QCOMPARE(messages.last().form, MessageService::Form::ErrorBox);
            QCOMPARE(messages.last().text, refusal);
            QCOMPARE(messages.last().caption, QStringLiteral("Error"));
        }
        QCOMPARE(avisos->isVisible(), moved);
        if (moved) {
            QCOMPARE(avisos->text(), QString::fromUtf8("Reubicación correcta."));
            QVERIFY(tarima->text().isEmpty() && mesa->text().isEmpty());
            QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edTarima"));
        } else {
            QCOMPARE(tarima->text(), QStringLiteral(" PT-1 "));
            QCOMPARE(mesa->text(), QStringLiteral("D-1 "));
            QCOMPARE(TerminalFixture::focusName(), QStringLiteral("edMesa"));
        }
    }

    void emptyLocationIsSent()
    {
        scriptAnswers("2", "0");
        tarima->setText("PT-1");
        TerminalFixture::type(mesa, "  ");
        QCOMPARE(fx->journal(), QStringList({"EXEC sp_KVR_ValidaTarimaUbicacion 'PT-1',''"}));
    }

    void failureDroppedSilently()
    {
        fx->server().script("sp_KVR_ValidaTarimaUbicacion",
                            [](Call&) { return TerminalFixture::status("0", "ok"); });
        fx->server().script("sp_KVR_CambiaUbicacionTarima",
                            [](Call&) { return Reply::fail("bloqueo"); });
        tarima->setText("PT-1");
        TerminalFixture::type(mesa, "D-1");
        QCOMPARE(fx->journal().size(), 2);
        QCOMPARE(TerminalFixture::shown().size(), 1); // the question only
        QCOMPARE(tarima->text(), QStringLiteral("PT-1"));
        QVERIFY(!avisos->isVisible());
    }

    void noticeEmptiedButStaysVisible()
    {
        scriptAnswers("0", "0");
        tarima->setText("PT-1");
        TerminalFixture::type(mesa, "D-1");
        QVERIFY(avisos->isVisible());
        tarima->setFocus();
        QTest::keyClicks(tarima, "P");
        QVERIFY(avisos->text().isEmpty());
        QVERIFY(avisos->isVisible());
    }

    // The demo warehouse: moving a pallet frees its old location and takes the new one.
    void demoMoves()
    {
        auto move = [this](const QString& pallet, const QString& location) {
            TerminalFixture::clearMessages();
            tarima->setText(pallet);
            mesa->setText(location);
            TerminalFixture::type(mesa, "");
            return TerminalFixture::shown().isEmpty() ? QString()
                                                      : TerminalFixture::shown().last().text;
        };
        QCOMPARE(move("PT-7001", "D-01-04"), QString::fromUtf8("Cambiar de ubicación?"));
        QCOMPARE(avisos->text(), QString::fromUtf8("Reubicación correcta."));
        QVERIFY(move("PT-7001", "D-01-04").startsWith("Error: #3."));
        QVERIFY(move("PT-7002", "D-01-04").startsWith("Error: #4."));
        // The location PT-7001 left is free again.
        QCOMPARE(move("PT-7002", "D-01-01"), QString::fromUtf8("Cambiar de ubicación?"));
        QVERIFY(move("PT-0000", "D-01-05").startsWith("Error: #1."));
        QVERIFY(move("PT-7001", "NO-EXISTE").startsWith("Error: #2."));
        QVERIFY(move("PT-7003", "D-01-05").startsWith("Error: #5."));
        QVERIFY(move("PT-7001", "B-01-01").startsWith("Error: #6."));
    }
};

QTEST_MAIN(TstReubicaciones)
#include "tst_reubicaciones.moc"
