#include "app/shell/MessageService.h"

#include "app/shell/SessionLog.h"
#include "data/DbError.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMetaEnum>
#include <QScreen>
#include <QWidget>

namespace
{

// Plain messages and the default error report carry the application's title,
// which start-up also gives the application object; tests see the same text
// without starting the terminal.
const QString kApplicationTitle = QStringLiteral("LectoraVelmor");
// The caption the platform gives a confirmation dialog.
const QString kConfirmationCaption = QStringLiteral("Confirm");

bool placedAtOrigin(MessageService::Form form)
{
    return form == MessageService::Form::Notice || form == MessageService::Form::RetryIgnore;
}

} // namespace

MessageService& MessageService::instance()
{
    static MessageService service;
    return service;
}

void MessageService::errorBox(const QString& text, const QString& caption)
{
    show(Form::ErrorBox, text, caption.isNull() ? text : caption, QMessageBox::Critical,
         QMessageBox::Ok, QMessageBox::Ok);
}

void MessageService::plain(const QString& text)
{
    show(Form::Plain, text, kApplicationTitle, QMessageBox::NoIcon, QMessageBox::Ok,
         QMessageBox::Ok);
}

bool MessageService::question(const QString& text, const QString& caption)
{
    return show(Form::Question, text, caption, QMessageBox::Question,
                QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

void MessageService::notice(const QString& text)
{
    show(Form::Notice, text, kApplicationTitle, QMessageBox::NoIcon, QMessageBox::Ok,
         QMessageBox::Ok);
}

QMessageBox::StandardButton MessageService::retryIgnore(const QString& text)
{
    return show(Form::RetryIgnore, text, kConfirmationCaption, QMessageBox::Question,
                QMessageBox::Retry | QMessageBox::Ignore, QMessageBox::Ignore);
}

void MessageService::defaultError(const QString& text)
{
    show(Form::ErrorBox, text, kApplicationTitle, QMessageBox::Critical, QMessageBox::Ok,
         QMessageBox::Ok);
}

void MessageService::reportFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const DbError& error) {
        defaultError(error.text());
    } catch (const std::exception& error) {
        defaultError(QString::fromUtf8(error.what()));
    } catch (...) {
        defaultError(QStringLiteral("Error desconocido"));
    }
}

QMessageBox::StandardButton MessageService::show(Form form, const QString& text,
                                                 const QString& caption, QMessageBox::Icon icon,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton fallback)
{
    // The hook may move the focus of the window whose step opens the box; it
    // runs while that step is still under way, before the box takes the input.
    if (m_beforeModal) {
        const auto hook = m_beforeModal;
        hook();
    }

    playToneFor(form);

    if (m_scripted) {
        // A box with only OK can just be acknowledged: it leaves the queued
        // answers to the questions and confirmations they were meant for.
        QMessageBox::StandardButton answer = fallback;
        if (buttons != QMessageBox::Ok && !m_answers.isEmpty())
            answer = m_answers.takeFirst();
        m_shown.append(Shown{form, text, caption, icon, buttons, answer});
        logBox(form, text, caption, answer, 0);
        return answer;
    }

    QMessageBox box(icon, caption, text, buttons, QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    if (placedAtOrigin(form)) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        box.move(screen ? screen->geometry().topLeft() : QPoint(0, 0));
    }
    const BoxKeyGuard guard(&box, m_keyTiming, m_clock);
    const auto answer = static_cast<QMessageBox::StandardButton>(box.exec());
    logBox(form, text, caption, answer, guard.droppedKeys());
    if (form == Form::RetryIgnore && answer != QMessageBox::Ignore)
        return answer == QMessageBox::Retry ? QMessageBox::Retry : QMessageBox::NoButton;
    return answer;
}

void MessageService::logBox(Form form, const QString& text, const QString& caption,
                            QMessageBox::StandardButton answer, int droppedKeys)
{
    static const char* const kForms[] = {"error", "plain", "question", "notice", "retry-ignore"};
    const char* button = QMetaEnum::fromType<QMessageBox::StandardButtons>().valueToKey(answer);
    SessionLog::box(QLatin1String(kForms[int(form)]), caption, text,
                    QLatin1String(button ? button : "nothing"), droppedKeys);
}

void MessageService::playToneFor(Form form)
{
    if (!m_tones || !m_sound)
        return;
    switch (form) {
    case Form::ErrorBox:
    case Form::RetryIgnore:
        m_tones->play(TonePlayer::Tone::Error);
        break;
    case Form::Question:
        m_tones->play(TonePlayer::Tone::Question);
        break;
    case Form::Plain:
    case Form::Notice:
        break;
    }
}
