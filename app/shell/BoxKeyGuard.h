#pragma once
// Keeps a reader's scan from answering a message box. A barcode reader types
// a whole code and its Enter a few milliseconds apart; a person answering a
// box presses one key on its own. So while a box is open, each key is held
// back for a moment: when another key follows that quickly, both are part of
// a scan and are dropped, with the rest of the scan; a key that stays alone
// is handed to the box as it was pressed. Every key in the first moment after
// the box opens is dropped too: nobody answers a box they have not yet seen.
// The mouse is left alone, and a dropped scan is not replayed anywhere.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

class QKeyEvent;
class QWidget;

struct KeyTiming {
    // Readers type 2-20 ms apart, people rarely under 50 ms.
    int burstGapMs = 40;
    int quietAfterOpenMs = 300;
};

// The timing decision alone, on timestamps in milliseconds.
class KeyBurstGate
{
public:
    KeyBurstGate(KeyTiming timing, qint64 openedAt) : m_timing(timing), m_openedAt(openedAt) {}

    struct Verdict {
        bool deliverHeld = false; // the key held before this one stood alone
        bool holdThis = false;    // this key may be a deliberate one: wait and see
    };
    Verdict press(qint64 now);
    // The hold time passed without another key: true when a held key is due.
    bool expire();

private:
    KeyTiming m_timing;
    qint64 m_openedAt;
    std::optional<qint64> m_lastKey;
    bool m_holding = false;
};

// Applies the gate to the keys that reach one box, for as long as it lives.
class BoxKeyGuard : public QObject
{
public:
    using Clock = std::function<qint64()>;
    BoxKeyGuard(QWidget* box, KeyTiming timing, Clock clock);
    ~BoxKeyGuard() override;

    static qint64 steadyMilliseconds();
    // The key presses that reached the box and were not passed on to it (so
    // far: one held when the box closes is dropped too).
    int droppedKeys() const { return m_presses - m_delivered; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct HeldKey {
        QPointer<QObject> receiver;
        int key;
        Qt::KeyboardModifiers modifiers;
        QString text;
        quint32 scanCode;
        quint32 virtualKey;
        quint32 nativeModifiers;
    };
    void deliverHeld();

    QPointer<QWidget> m_box;
    KeyBurstGate m_gate;
    Clock m_clock;
    QTimer m_hold;
    std::optional<HeldKey> m_held;
    bool m_delivering = false;
    int m_presses = 0;
    int m_delivered = 0;
};
