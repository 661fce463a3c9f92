#include "app/shell/BoxKeyGuard.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QWidget>

KeyBurstGate::Verdict KeyBurstGate::press(qint64 now)
{
    const bool quiet = now - m_openedAt < m_timing.quietAfterOpenMs;
    const bool burst = m_lastKey && now - *m_lastKey < m_timing.burstGapMs;
    m_lastKey = now;

    Verdict verdict;
    // A held key whose hold ran out before its timer could say so (a busy
    // event loop) still stood alone.
    verdict.deliverHeld = m_holding && !burst;
    verdict.holdThis = !quiet && !burst;
    m_holding = verdict.holdThis;
    return verdict;
}

bool KeyBurstGate::expire()
{
    const bool due = m_holding;
    m_holding = false;
    return due;
}

BoxKeyGuard::BoxKeyGuard(QWidget* box, KeyTiming timing, Clock clock)
    : m_box(box), m_gate(timing, clock()), m_clock(std::move(clock))
{
    m_hold.setSingleShot(true);
    m_hold.setInterval(timing.burstGapMs);
    connect(&m_hold, &QTimer::timeout, this, [this] {
        if (m_gate.expire())
            deliverHeld();
    });
    qApp->installEventFilter(this);
}

BoxKeyGuard::~BoxKeyGuard()
{
    qApp->removeEventFilter(this);
}

qint64 BoxKeyGuard::steadyMilliseconds()
{
    static const QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return since.elapsed();
}

bool BoxKeyGuard::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (m_delivering || (type != QEvent::KeyPress && type != QEvent::KeyRelease))
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!m_box || !widget || widget->window() != m_box)
        return false;
    // Releases are dropped with their presses; a delivered press brings its own.
    if (type == QEvent::KeyRelease)
        return true;

    const auto* key = static_cast<QKeyEvent*>(event);
    ++m_presses;
    const KeyBurstGate::Verdict verdict = m_gate.press(m_clock());
    if (verdict.deliverHeld)
        deliverHeld();
    m_held.reset();
    m_hold.stop();
    if (verdict.holdThis) {
        m_held = HeldKey{widget,
                         key->key(),
                         key->modifiers(),
                         key->text(),
                         key->nativeScanCode(),
                         key->nativeVirtualKey(),
                         key->nativeModifiers()};
        m_hold.start();
    }
    return true;
}

void BoxKeyGuard::deliverHeld()
{
    const std::optional<HeldKey> held = std::exchange(m_held, std::nullopt);
    if (!held || !held->receiver)
        return;
    ++m_delivered;
    m_delivering = true;
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        if (!held->receiver)
            break;
        QKeyEvent event(type, held->key, held->modifiers, held->scanCode, held->virtualKey,
                        held->nativeModifiers, held->text);
        QCoreApplication::sendEvent(held->receiver, &event);
    }
    m_delivering = false;
}
