#pragma once
// Every message box of the terminal goes through here: error box, plain
// message, question, the count windows' notice at the screen's top-left and
// their Retry/Ignore confirmation. Each box plays its tone (the error tone for
// error boxes, refusals, the default error report and the confirmation; a
// softer one for questions) and ignores the keys of a scan (see BoxKeyGuard).
// Tests switch on scripted mode: nothing is shown, every message is recorded,
// and the answer comes from a queue that the test fills (Yes / Ignore when the
// queue is empty), so no test blocks.

#include "app/shell/BoxKeyGuard.h"
#include "app/shell/Tones.h"

#include <QList>
#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>
#include <memory>

class QWidget;

class MessageService
{
public:
    enum class Form { ErrorBox, Plain, Question, Notice, RetryIgnore };

    struct Shown {
        Form form;
        QString text;
        QString caption;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton answer;
    };

    static MessageService& instance();

    // (a) modal, OK, error icon; the caption is by habit the text itself.
    void errorBox(const QString& text, const QString& caption = QString());
    // (b) modal, OK, no icon, titled with the application title.
    void plain(const QString& text);
    // (c) modal, Yes/No, question icon. True for Yes.
    bool question(const QString& text, const QString& caption);
    // Notice: like plain(), placed at the screen's (0, 0).
    void notice(const QString& text);
    // Confirmation with Retry and Ignore at (0, 0); returns the button pressed
    // (anything other than Ignore when the box was closed another way).
    QMessageBox::StandardButton retryIgnore(const QString& text);

    // The application's default error report: error box with the text, titled
    // with the application title.
    void defaultError(const QString& text);
    // The default error report of a failure caught as `failure` (a DbError
    // shows its text, any other exception what it says).
    void reportFailure(std::exception_ptr failure);

    // Called just before any modal box opens (the workflow windows use it to
    // apply a pending form-level Enter move while the box is open).
    void setBeforeModal(std::function<void()> hook) { m_beforeModal = std::move(hook); }

    // No player, or sound switched off, means silence.
    void setTonePlayer(std::unique_ptr<TonePlayer> player) { m_tones = std::move(player); }
    void setSoundEnabled(bool on) { m_sound = on; }
    void setKeyTiming(KeyTiming timing) { m_keyTiming = timing; }
    // The clock the open boxes time keys by (tests set their own).
    void setClock(BoxKeyGuard::Clock clock) { m_clock = std::move(clock); }

    // Test support.
    void setScripted(bool scripted) { m_scripted = scripted; }
    void setNextAnswers(QList<QMessageBox::StandardButton> answers) { m_answers = answers; }
    const QList<Shown>& shown() const { return m_shown; }
    void clear()
    {
        m_shown.clear();
        m_answers.clear();
    }

private:
    MessageService() = default;
    QMessageBox::StandardButton show(Form form, const QString& text, const QString& caption,
                                     QMessageBox::Icon icon, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton fallback);

    void playToneFor(Form form);
    void logBox(Form form, const QString& text, const QString& caption,
                QMessageBox::StandardButton answer, int droppedKeys);

    bool m_scripted = false;
    std::unique_ptr<TonePlayer> m_tones;
    bool m_sound = true;
    KeyTiming m_keyTiming;
    BoxKeyGuard::Clock m_clock = &BoxKeyGuard::steadyMilliseconds;
    QList<QMessageBox::StandardButton> m_answers;
    QList<Shown> m_shown;
    std::function<void()> m_beforeModal;
};
