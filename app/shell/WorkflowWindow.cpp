#include "app/shell/WorkflowWindow.h"

#include "app/shell/MessageService.h"
#include "app/shell/Operator.h"
#include "data/U_Data.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <exception>
#include <memory>

namespace
{

Qt::WindowFlags frameFlags(const WindowTraits& traits)
{
    // CustomizeWindowHint switches the default buttons off, so the frame shows
    // exactly the ones the window declares, also when the maximised child
    // hands them over to the main window's menu bar.
    Qt::WindowFlags flags = Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (traits.buttons & WindowTraits::SystemMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (traits.buttons & WindowTraits::Minimise)
        flags |= Qt::WindowMinimizeButtonHint;
    if (traits.buttons & WindowTraits::Maximise)
        flags |= Qt::WindowMaximizeButtonHint;
    if (traits.buttons & WindowTraits::Help)
        flags |= Qt::WindowContextHelpButtonHint;
    return flags;
}

bool isCloseShortcut(const QKeyEvent* event)
{
    return event->key() == Qt::Key_F4 && event->modifiers() == Qt::ControlModifier;
}

// An editable combo box's own line edit gets the keys through the combo box,
// which already carries the filter.
bool isInnerEditOfCombo(const QWidget* widget)
{
    return qobject_cast<const QLineEdit*>(widget) &&
           qobject_cast<const QComboBox*>(widget->parentWidget());
}

// Qt's MDI child recomputes and repaints its title bar on every focus move
// anywhere in the application, the elided title included: in a scan that
// moves the focus three times that is most of the terminal's own work. The
// child only changes when the focus comes to it from outside (or to the
// child itself), so the moves between its own fields are kept from it. A Qt
// without that private slot keeps its own connection.
void forwardOnlyEntries(QMdiSubWindow* child)
{
    constexpr const char* kSlot = "_q_processFocusChanged(QWidget*,QWidget*)";
    if (child->metaObject()->indexOfSlot(kSlot) < 0)
        return;
    // A private slot can only be named by its signature.
    if (!QObject::disconnect(qApp, SIGNAL(focusChanged(QWidget*, QWidget*)), child,
                             SLOT(_q_processFocusChanged(QWidget*, QWidget*))))
        return;
    QObject::connect(qApp, &QApplication::focusChanged, child, [child](QWidget* old, QWidget* now) {
        const bool within = old && now && old != child && now != child &&
                            child->isAncestorOf(old) && child->isAncestorOf(now) &&
                            child->mdiArea() && child->mdiArea()->activeSubWindow() == child;
        if (!within)
            QMetaObject::invokeMethod(child, "_q_processFocusChanged", Qt::DirectConnection,
                                      Q_ARG(QWidget*, old), Q_ARG(QWidget*, now));
    });
}

} // namespace

WorkflowWindow::WorkflowWindow(const WindowTraits& traits, QWidget* parent)
    : QWidget(parent), m_traits(traits)
{
    // The window paints its own background, the colour its frame would give
    // it, so painting a label at once during a scan stops at the window and
    // does not redraw the frame and title around it.
    setAutoFillBackground(true);
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { focusMoved(now); });
}

QMdiSubWindow* WorkflowWindow::addTo(QMdiArea* area)
{
    QMdiSubWindow* child = area->addSubWindow(this, frameFlags(m_traits));
    forwardOnlyEntries(child);
    child->setAttribute(Qt::WA_DeleteOnClose, m_traits.close == WindowTraits::Close::Destroy);
    connect(area, &QMdiArea::subWindowActivated, this, &WorkflowWindow::activationChanged);
    connect(child, &QMdiSubWindow::windowStateChanged, this,
            [this](Qt::WindowStates, Qt::WindowStates now) {
                if (now & Qt::WindowMinimized)
                    handOverFront();
            });
    child->showMaximized();
    return child;
}

void WorkflowWindow::activationChanged(QMdiSubWindow* front)
{
    QMdiSubWindow* own = subWindow();
    if (!own)
        return;
    if (front != own) {
        m_front = false;
        return;
    }
    if (!own->isMaximized())
        own->showMaximized();
    comeBack();
}

void WorkflowWindow::handOverFront()
{
    // A minimised window keeps no scans: the one the operator used before it
    // comes forward, or none, and then the keys go to the frame.
    QMdiSubWindow* own = subWindow();
    QMdiArea* area = own ? own->mdiArea() : nullptr;
    if (!area || area->activeSubWindow() != own)
        return;
    const QList<QMdiSubWindow*> history = area->subWindowList(QMdiArea::ActivationHistoryOrder);
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
        QMdiSubWindow* candidate = *it;
        if (candidate != own && !candidate->isHidden() && !candidate->isMinimized()) {
            area->setActiveSubWindow(candidate);
            return;
        }
    }
    area->setActiveSubWindow(nullptr);
    area->window()->setFocus(Qt::OtherFocusReason);
}

void WorkflowWindow::comeBack()
{
    m_front = true;
    QWidget* target = m_returnFocus;
    if (!target || !target->isEnabled() || !target->isVisibleTo(this))
        return;
    target->setFocus(Qt::OtherFocusReason);
    if (m_selection.field == target && m_selection.start >= 0)
        m_selection.field->setSelection(m_selection.start, m_selection.length);
}

void WorkflowWindow::focusMoved(QWidget* now)
{
    // A window that stops being maximised (another one opened over it) hides
    // and shows its contents, and Qt passes the focus on inside it: that move
    // is not the operator's.
    const QMdiSubWindow* own = subWindow();
    if (m_front && own && own->isMaximized() && now && isAncestorOf(now))
        m_returnFocus = now;
}

void WorkflowWindow::keepSelection(QWidget* leaving)
{
    auto* field = qobject_cast<QLineEdit*>(leaving);
    if (!m_front || !field || field != m_returnFocus)
        return;
    m_selection = {field, field->hasSelectedText() ? field->selectionStart() : -1,
                   static_cast<int>(field->selectedText().size())};
}

QMdiSubWindow* WorkflowWindow::subWindow() const
{
    return qobject_cast<QMdiSubWindow*>(parentWidget());
}

bool WorkflowWindow::isEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

Connection& WorkflowWindow::connection() const
{
    return Dm_Velmor->Cx;
}

void WorkflowWindow::guarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (...) {
        MessageService::instance().reportFailure(std::current_exception());
    }
}

void WorkflowWindow::dropFailures(const std::function<void()>& steps)
{
    try {
        steps();
    } catch (const std::exception&) {
        // DbError included: the operator sees the fields as the steps left them.
    }
}

void WorkflowWindow::stepThenEnterMove(QObject* owner, const std::function<void()>& step,
                                       const std::function<void()>& move)
{
    const QPointer<QObject> alive(owner);
    const auto pending = std::make_shared<bool>(true);
    const auto moveOnce = [alive, pending, move] {
        if (*pending && alive) {
            *pending = false;
            move();
        }
    };
    MessageService& service = MessageService::instance();
    service.setBeforeModal(moveOnce);
    guarded(step);
    service.setBeforeModal({});
    moveOnce();
}

void WorkflowWindow::onKeyDown(QWidget* field, std::function<void(int key)> handler)
{
    m_keyDown[field] = std::move(handler);
    if (m_shownOnce)
        field->installEventFilter(this);
}

void WorkflowWindow::selectNext(int times)
{
    // The focus goes straight to where the moves end: no control on the way
    // reacts to being passed, and every focus change costs a scan time.
    QWidget* at = currentFocus();
    QWidget* target = nullptr;
    for (int i = 0; i < times; ++i) {
        QWidget* next = nextInTabOrder(at);
        if (!next)
            break;
        target = at = next;
    }
    if (target)
        target->setFocus(Qt::TabFocusReason);
}

void WorkflowWindow::focusAndSelect(QLineEdit* field)
{
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

MessageService& WorkflowWindow::messages() const
{
    return MessageService::instance();
}

QString WorkflowWindow::idPersona()
{
    return Operator::id();
}

void WorkflowWindow::installConventions()
{
    for (QWidget* child : findChildren<QWidget*>()) {
        const bool field = qobject_cast<QLineEdit*>(child) || qobject_cast<QComboBox*>(child);
        if ((field && !isInnerEditOfCombo(child)) || m_keyDown.count(child))
            child->installEventFilter(this);
    }
}

QWidget* WorkflowWindow::currentFocus() const
{
    QWidget* focused = QApplication::focusWidget();
    if (focused && isAncestorOf(focused))
        return focused;
    // The terminal's window may not be the active one (tests, a box that has
    // just closed): the last field given the focus inside this window counts.
    return focusWidget();
}

QWidget* WorkflowWindow::nextInTabOrder(QWidget* from) const
{
    QWidget* start = (from && isAncestorOf(from)) ? from : const_cast<WorkflowWindow*>(this);
    for (QWidget* w = start->nextInFocusChain(); w && w != start; w = w->nextInFocusChain()) {
        if (!isAncestorOf(w) || w->focusProxy())
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(this))
            return w;
    }
    return nullptr;
}

void WorkflowWindow::runKeyDown(QObject* field, int key)
{
    const auto handler = m_keyDown.find(field);
    const bool moveAfter = isEnter(key) && m_traits.formEnterMove;
    if (handler == m_keyDown.end()) {
        if (moveAfter)
            selectNext();
        return;
    }

    const auto step = handler->second; // the step may replace its own handler
    if (!moveAfter) {
        guarded([&] { step(key); });
        return;
    }
    const QPointer<QWidget> typedIn(static_cast<QWidget*>(field));
    const QPointer<QWidget> focusBefore(currentFocus());
    stepThenEnterMove(
        this, [&] { step(key); },
        [this, typedIn, focusBefore] { moveAfterEnter(typedIn, focusBefore); });
}

void WorkflowWindow::moveAfterEnter(QWidget* typedIn, QWidget* focusBefore)
{
    // Counted from where the step left the focus, or from the field the Enter
    // was typed in when the step did not move it.
    QWidget* now = currentFocus();
    QWidget* from = (now && now != focusBefore) ? now : typedIn;
    if (QWidget* next = nextInTabOrder(from ? from : now))
        next->setFocus(Qt::TabFocusReason);
}

bool WorkflowWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut)
        keepSelection(qobject_cast<QWidget*>(watched));
    if (event->type() == QEvent::KeyPress &&
        (m_keyDown.count(watched) || qobject_cast<QLineEdit*>(watched) ||
         qobject_cast<QComboBox*>(watched))) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (isCloseShortcut(key)) {
            closeByShortcut();
            return true;
        }
        runKeyDown(watched, key->key());
        // Enter never reaches the field: a line edit would ignore it and let it
        // climb to the main window, whose own Enter move is for its login.
        return isEnter(key->key());
    }
    return QWidget::eventFilter(watched, event);
}

void WorkflowWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    installConventions();
    guarded([this] { FormShow(); });
    // The window comes to the front for the first time after this: the
    // focus its first show gave is where the operator starts.
    if (!m_returnFocus)
        m_returnFocus = focusWidget();
}

void WorkflowWindow::closeEvent(QCloseEvent* event)
{
    switch (m_traits.close) {
    case WindowTraits::Close::Destroy:
        event->accept();
        break;
    case WindowTraits::Close::Minimise:
        event->ignore();
        if (QMdiSubWindow* child = subWindow())
            child->showMinimized();
        break;
    case WindowTraits::Close::Ignore:
        event->ignore();
        break;
    }
}

void WorkflowWindow::keyPressEvent(QKeyEvent* event)
{
    if (isCloseShortcut(event)) {
        closeByShortcut();
        event->accept();
        return;
    }
    if (isEnter(event->key())) {
        // Enter from a control without a key-down handler (a grid, a button)
        // ends here as well.
        if (m_traits.formEnterMove)
            selectNext();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void WorkflowWindow::closeByShortcut()
{
    // Only windows that are destroyed on closing get the shortcut; the others
    // close through their title-bar buttons or not at all.
    if (m_traits.close != WindowTraits::Close::Destroy)
        return;
    if (QMdiSubWindow* child = subWindow())
        child->close();
    else
        close();
}
