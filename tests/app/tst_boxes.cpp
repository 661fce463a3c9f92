// The message boxes as an operator with a reader meets them: a scan typed
// into an open box answers nothing, a deliberate key still does, and each box
// that needs the operator's ear plays its tone.

#include "app/shell/BoxKeyGuard.h"
#include "app/shell/DiagnosticLog.h"
#include "app/shell/MessageService.h"
#include "app/shell/Tones.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <stdexcept>

namespace
{

struct RecordedTones : TonePlayer {
    QList<Tone>* played;
    explicit RecordedTones(QList<Tone>* list) : played(list) {}
    void play(Tone tone) override { played->append(tone); }
};

using Tone = TonePlayer::Tone;

} // namespace

class BoxesTest : public QObject
{
    Q_OBJECT

    qint64 m_now = 0;
    MessageService& messages() { return MessageService::instance(); }

    // Types into the open box at the given pace on the test's clock.
    void typeIntoBox(QWidget* box, const QString& keys, int msApart)
    {
        for (const QChar c : keys) {
            m_now += msApart;
            if (c == QLatin1Char('\n'))
                QTest::keyClick(box->windowHandle(), Qt::Key_Return);
            else
                QTest::keyClick(box->windowHandle(), c.toLatin1());
        }
    }

private Q_SLOTS:
    void init()
    {
        m_now = 0;
        messages().setScripted(false);
        messages().clear();
        messages().setClock([this] { return m_now; });
        messages().setKeyTiming(KeyTiming{});
    }

    void cleanup()
    {
        messages().setScripted(true);
        messages().setClock(&BoxKeyGuard::steadyMilliseconds);
        messages().setTonePlayer(nullptr);
        messages().setSoundEnabled(true);
    }

    void onlyAKeyThatStandsAloneGetsThrough_data()
    {
        // Press times in ms since the box opened; -1 marks the hold timer
        // having had no chance to run before the next key (a busy loop).
        QTest::addColumn<QList<int>>("presses");
        QTest::addColumn<QList<int>>("delivered");
        QTest::newRow("scan arriving as the box opens")
            << QList<int>{0, 5, 10, 15, 20} << QList<int>{};
        QTest::newRow("scan long after it opened")
            << QList<int>{2000, 2008, 2016, 2030} << QList<int>{};
        QTest::newRow("scan starting with a button's letter")
            << QList<int>{900, 912, 925} << QList<int>{};
        QTest::newRow("key in the first moment") << QList<int>{150} << QList<int>{};
        QTest::newRow("deliberate key") << QList<int>{600} << QList<int>{0};
        QTest::newRow("two keys at a person's pace") << QList<int>{600, 900} << QList<int>{0, 1};
        QTest::newRow("scan, then a deliberate Enter")
            << QList<int>{1000, 1010, 1020, 1700} << QList<int>{3};
        QTest::newRow("alone, timer late") << QList<int>{600, -900} << QList<int>{0, 1};
    }

    void onlyAKeyThatStandsAloneGetsThrough()
    {
        QFETCH(QList<int>, presses);
        QFETCH(QList<int>, delivered);
        const KeyTiming timing;
        KeyBurstGate gate(timing, 0);
        QList<int> got;
        int held = -1;
        for (int i = 0; i < presses.size(); ++i) {
            const KeyBurstGate::Verdict v = gate.press(std::abs(presses[i]));
            if (v.deliverHeld)
                got << held;
            held = v.holdThis ? i : -1;
            const bool last = i + 1 == presses.size();
            const bool timerRuns =
                last ? true
                     : presses[i + 1] >= 0 && presses[i + 1] - presses[i] >= timing.burstGapMs;
            if (timerRuns && gate.expire())
                got << held;
        }
        QCOMPARE(got, delivered);
    }

    // Real boxes: the scan is typed while the box is up, then a pause, then
    // the key a person presses.
    void aScanAnswersNoBox_data()
    {
        QTest::addColumn<int>("form");
        QTest::addColumn<QString>("deliberate");
        QTest::addColumn<int>("answer");
        QTest::newRow("error box, Enter") << 0 << "\n" << int(QMessageBox::Ok);
        QTest::newRow("question, No by its letter") << 1 << "n" << int(QMessageBox::No);
        QTest::newRow("question, Enter") << 1 << "\n" << int(QMessageBox::Yes);
        QTest::newRow("retry/ignore, Enter") << 2 << "\n" << int(QMessageBox::Retry);
    }

    void aScanAnswersNoBox()
    {
        QFETCH(int, form);
        QFETCH(QString, deliberate);
        QFETCH(int, answer);
        // The log says how the box was answered and what of the scans it dropped.
        QTemporaryDir logs;
        LogSettings log;
        log.folder = logs.path();
        QVERIFY(diagnosticlog::start(log));

        bool stayedOpen = false;
        QTimer::singleShot(0, this, [&] {
            QPointer<QWidget> box = QApplication::activeModalWidget();
            QVERIFY(box);
            // A failed check must not leave the test waiting on the box.
            const auto closeBox = qScopeGuard([&] {
                if (box && box->isVisible())
                    box->close();
            });
            // A scan right after the box opened, then one a while later;
            // both start with the letters that would answer a question.
            typeIntoBox(box, QStringLiteral("YS-1001\n"), 4);
            m_now += 1500;
            typeIntoBox(box, QStringLiteral("NRI-2002\n"), 6);
            QApplication::processEvents();
            stayedOpen = box && box->isVisible();
            m_now += 1500;
            typeIntoBox(box, deliberate, 0);
            // Answered once the hold is over, on the real timer.
            QTRY_VERIFY(!box || !box->isVisible());
        });

        int got = 0;
        switch (form) {
        case 0:
            messages().errorBox(QStringLiteral("No existe la tarima."));
            got = QMessageBox::Ok;
            break;
        case 1:
            got = messages().question(QStringLiteral("Cambiar de ubicación?"),
                                      QStringLiteral("Confirmacion"))
                      ? QMessageBox::Yes
                      : QMessageBox::No;
            break;
        default:
            got = messages().retryIgnore(QStringLiteral("Continuar?"));
        }
        QVERIFY(stayedOpen);
        QCOMPARE(got, answer);
        diagnosticlog::stop();
        QFile written(logs.filePath(QStringLiteral("lectora.log")));
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray line = written.readAll();
        QVERIFY2(line.contains(", 17 key(s) of a scan dropped\n"), line.constData());
    }

    void eachErrorFormSoundsTheErrorTone_data()
    {
        QTest::addColumn<bool>("sound");
        QTest::addColumn<QList<Tone>>("tones");
        QTest::newRow("sound on") << true
                                  << QList<Tone>{Tone::Error, Tone::Error, Tone::Error,
                                                 Tone::Question, Tone::Error};
        QTest::newRow("sound off") << false << QList<Tone>{};
    }

    void eachErrorFormSoundsTheErrorTone()
    {
        QFETCH(bool, sound);
        QFETCH(QList<Tone>, tones);
        QList<Tone> played;
        messages().setScripted(true);
        messages().setTonePlayer(std::make_unique<RecordedTones>(&played));
        messages().setSoundEnabled(sound);

        messages().errorBox(QStringLiteral("No existe la localidad."));
        messages().defaultError(QStringLiteral("Error de conexión"));
        messages().reportFailure(std::make_exception_ptr(std::runtime_error("roto")));
        messages().plain(QStringLiteral("Ingrese la tarima."));
        messages().notice(QStringLiteral("No hay conteos."));
        messages().question(QStringLiteral("Desea reasignar tarima?"), QStringLiteral("Aviso"));
        messages().retryIgnore(QStringLiteral("Continuar?"));
        QCOMPARE(played, tones);
    }

    // This machine has no sound device: the real tones play nothing, and
    // the box is the only thing the operator sees.
    void noSoundDeviceIsNoError()
    {
        messages().setScripted(true);
        messages().setTonePlayer(platformTones());
        messages().errorBox(QStringLiteral("No existe la tarima."));
        messages().question(QStringLiteral("Cambiar de ubicación?"),
                            QStringLiteral("Confirmacion"));
        QTest::qWait(50);
        QCOMPARE(messages().shown().size(), 2);
        QVERIFY(!QApplication::activeModalWidget());
    }
};

QTEST_MAIN(BoxesTest)
#include "tst_boxes.moc"
