#pragma once
// What every workflow window shares: it lives as a maximised MDI child of the
// main window; key-down handlers of its fields run when a key goes down (Enter
// is Qt::Key_Return or Qt::Key_Enter); windows with key preview and a form
// key-press handler swallow Enter and move to the next control in tab order
// after the field's step (or, when the step opens a modal box, while the box
// is open, so the focus the step sets afterwards stands); close behaviour and
// title-bar buttons come from the window's traits. A failure that a step does
// not catch goes to the application's default error report and the window
// stays usable. Whenever the window comes to the front again (its menu entry,
// the window in front closed or minimised, any other activation) it is
// maximised and the keyboard goes back to the control the operator left, with
// the text selection it had, so the next scan lands where it did before.
//
// A window declares its traits, builds its form, then registers its handlers:
//   ui->setupUi(this);
//   onKeyDown(ui->EdPalletKV, [this](int key) { EdPalletKVKeyDown(key); });

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>

class Connection;
class QLineEdit;
class QMdiArea;
class QMdiSubWindow;
class MessageService;

struct WindowTraits {
    enum class Close { Destroy, Minimise, Ignore };
    enum Button { NoButtons = 0, SystemMenu = 1, Minimise = 2, Maximise = 4, Help = 8 };

    bool keyPreview = false;
    bool formEnterMove = false; // key preview with a form key-press handler
    Close close = Close::Ignore;
    int buttons = NoButtons;
    bool sizeable = false;
};

class WorkflowWindow : public QWidget
{
    Q_OBJECT
public:
    explicit WorkflowWindow(const WindowTraits& traits, QWidget* parent = nullptr);

    // Wraps the window in an MDI child of `area` with the traits' frame and
    // buttons, shows it maximised and returns the child.
    QMdiSubWindow* addTo(QMdiArea* area);
    QMdiSubWindow* subWindow() const;

    static bool isEnter(int key);

    // The data module's connection the window's commands go to (Cx unless
    // the window says otherwise).
    virtual Connection& connection() const;

    // Runs `step`; an exception it lets through is shown by the default error
    // report. Handlers that are not key-downs (combo changes, FormShow, the
    // main window's login and menu) use it.
    static void guarded(const std::function<void()>& step);

    // Runs the steps of a handler from the point where every failure is
    // dropped without a word: what was done before stays done, the fields keep
    // what the steps left in them, and the operator scans again.
    static void dropFailures(const std::function<void()>& steps);

    // Runs a key-down `step` (guarded) and then the move of the Enter
    // character that follows it. When the step opens a modal box first, the
    // character is handled while the box is open, so `move` runs just before
    // the box and the focus the step sets after the box stands. Nothing moves
    // once `owner` is gone.
    static void stepThenEnterMove(QObject* owner, const std::function<void()>& step,
                                  const std::function<void()>& move);

protected:
    // Registers the key-down handler of a field (called with the Qt key code).
    void onKeyDown(QWidget* field, std::function<void(int key)> handler);
    // Runs when the window is first shown, after the conventions are in place.
    virtual void FormShow() {}

    // The move to the next control in tab order, wrapping, read-only fields
    // included; `times` moves in a row, the focus set once where they end.
    void selectNext(int times = 1);
    // Focus on the field with its whole text selected (after a rejected scan).
    void focusAndSelect(QLineEdit* field);

    MessageService& messages() const;
    // The logged-in operator's id, as stored (not trimmed).
    static QString idPersona();

    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void installConventions();
    QWidget* nextInTabOrder(QWidget* from) const;
    QWidget* currentFocus() const;
    void runKeyDown(QObject* field, int key);
    void moveAfterEnter(QWidget* typedIn, QWidget* focusBefore);
    void closeByShortcut();
    void activationChanged(QMdiSubWindow* front);
    void comeBack();
    void handOverFront();
    void focusMoved(QWidget* now);
    void keepSelection(QWidget* leaving);

    WindowTraits m_traits;
    // While the window is at the front, every focus move inside it is
    // remembered; while it is behind, Qt's own moves (a hidden window's focus
    // passed on, the child's default activation focus) are not the operator's.
    bool m_front = false;
    QPointer<QWidget> m_returnFocus;
    // A line edit loses its selection when it loses the focus; what it had
    // goes back with it.
    struct Selection {
        QPointer<QLineEdit> field;
        int start = -1;
        int length = 0;
    } m_selection;
    std::map<QObject*, std::function<void(int)>> m_keyDown;
    bool m_shownOnce = false;
};
