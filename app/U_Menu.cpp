#include "app/U_Menu.h"
#include "ui_U_Menu.h"

#include "app/StatusLine.h"
#include "app/shell/MessageService.h"
#include "app/shell/Operator.h"
#include "app/shell/SessionLog.h"
#include "app/shell/WorkflowWindow.h"
#include "data/CommandText.h"
#include "data/U_Data.h"
#include "inbound/U_EntradaCajaRollo.h"
#include "inbound/U_EntradaPallet.h"
#include "inventory/U_Inventario.h"
#include "inventory/U_Inventario_NordaPavrel.h"
#include "inventory/U_Inventario_Ulmar.h"
#include "production/U_Embarque.h"
#include "production/U_EntregaTarimaACalidad.h"
#include "production/U_Reubica.h"
#include "production/U_SalidaCajaRollo.h"
#include "production/U_SalidaPallet.h"
#include "shipping/U_Consulta.h"
#include "shipping/U_Reubicaciones.h"

#include <QAction>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <exception>

TFr_Menu* Fr_Menu = nullptr;

TFr_Menu::TFr_Menu(const QStringList& visibleEntries, QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TFr_Menu>())
{
    ui->setupUi(this);
    Fr_Menu = this;

    // Fixed single border with the system menu (close) only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    // The client area keeps its size; the frame grows by the menu bar once
    // the menu shows.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // The MDI client lies under the login panel, which covers it until a login succeeds.
    m_area = new QMdiArea(ui->ClientArea);
    m_area->setObjectName(QStringLiteral("MdiClient"));
    m_area->setGeometry(ui->ClientArea->rect());
    m_area->lower();
    ui->Pa_Acceso->raise();
    ui->edt_Contra->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

    m_procesos = ui->Procesos1;
    buildMenu(visibleEntries);
    addStatusLine();

    for (QWidget* control : loginControls())
        control->installEventFilter(this);
    connect(ui->cmdAcceso, &QPushButton::clicked, this,
            [this] { WorkflowWindow::guarded([this] { cmdAccesoClick(); }); });

    FormCreate();
}

TFr_Menu::~TFr_Menu()
{
    SessionLog::instance().setFrontWindow({});
    if (Fr_Menu == this)
        Fr_Menu = nullptr;
}

void TFr_Menu::addStatusLine()
{
    // Shown once an operator is logged in; the log names the window in front.
    m_status = new StatusLine(m_area, statusBar());
    statusBar()->addWidget(m_status, 1);
    statusBar()->setSizeGripEnabled(false);
    statusBar()->setFocusPolicy(Qt::NoFocus);
    statusBar()->setVisible(false);
    SessionLog::instance().setFrontWindow([this] {
        const QMdiSubWindow* child = m_area->activeSubWindow();
        return child ? child->windowTitle() : windowTitle();
    });
}

QString TFr_Menu::IdPersona() const
{
    return Operator::id();
}

QAction* TFr_Menu::entry(const QString& name) const
{
    return findChild<QAction*>(name);
}

namespace
{
template <typename Window> WorkflowWindow* make()
{
    return new Window;
}
} // namespace

// The way from a menu entry to its window, in the menu's order, with the unit
// that holds each window. Some names read otherwise than they go: Embarque1
// opens the shipment window of shipping/U_Consulta, Reubicaciones1 the pallet
// query of production/U_Embarque, Reubicaciones2 the relocation window.
const TFr_Menu::MenuEntry TFr_Menu::kMenu[] = {
    // inbound/U_EntradaPallet, U_EntradaCajaRollo
    {"EntradaPorPallet1", &TFr_Menu::EntradaPorPallet1Click, "Verificacion de Entrada",
     make<TFr_EntradaPallet>},
    {"EntradaPorCajaRollo1", &TFr_Menu::EntradaPorCajaRollo1Click, "Surtido",
     make<TFr_EntradaCajaRollo>},
    // production/U_SalidaPallet, U_SalidaCajaRollo, U_EntregaTarimaACalidad, U_Reubica
    {"ReciboenProduccin1", &TFr_Menu::ReciboenProduccin1Click, "Recibo en Produccion",
     make<TFr_Salida>},
    {"Salida1", &TFr_Menu::Salida1Click, "Entrega Tarima a Estación de producción",
     make<TFr_SalidaCajaRollo>},
    {"Entregade1", &TFr_Menu::Entregade1Click, "Entrega de Producción a Calidad",
     make<TfrEntregaTarimaACalidad>},
    {"LiberacindeCalidadVElmor1", &TFr_Menu::LiberacindeCalidadVElmor1Click,
     "Transferencia al área de producto liberado", make<TfrLiberacionCalidadVElmor>},
    // shipping/U_Consulta, U_Reubicaciones; production/U_Embarque
    {"Embarque1", &TFr_Menu::Embarque1Click, "Embarque", make<TFr_Embarque1>},
    {"Reubicaciones2", &TFr_Menu::Reubicaciones2Click, "Reubicaciones", make<TfrReubicaciones>},
    {"Reubicaciones1", &TFr_Menu::Reubicaciones1Click, "Consulta Tarima de Producción",
     make<Tfr_Embarque>},
    // inventory/U_Inventario, U_Inventario_NordaPavrel, U_Inventario_Ulmar
    {"Inventario1", &TFr_Menu::Inventario1Click, "Inventario Norda Preventa", make<TfrInventario>},
    {"NordaPavrel1", &TFr_Menu::NordaPavrel1Click, "Inventario Norda Pavrel",
     make<TfrInventarioNordaPavrel>},
    {"Ulmar1", &TFr_Menu::Ulmar1Click, "Inventario Ulmar", make<TfrInventarioUlmar>},
};

void TFr_Menu::buildMenu(const QStringList& visibleEntries)
{
    for (const MenuEntry& row : kMenu) {
        QAction* action = entry(QString::fromLatin1(row.name));
        action->setVisible(visibleEntries.contains(action->objectName()));
        connect(action, &QAction::triggered, this, [this, click = row.click] {
            WorkflowWindow::guarded([this, click] { (this->*click)(); });
        });
    }
}

void TFr_Menu::openEntry(const char* name)
{
    for (const MenuEntry& row : kMenu) {
        if (qstrcmp(row.name, name) == 0) {
            openOrFocus(QString::fromUtf8(row.caption), row.create);
            return;
        }
    }
}

void TFr_Menu::FormCreate()
{
    ui->Pa_Acceso->setVisible(true);
    m_procesos->menuAction()->setVisible(false);
    // A menu bar with nothing to show takes no room before the login.
    menuBar()->setVisible(false);
}

void TFr_Menu::FormShow()
{
    ui->edt_Usuario->setFocus(Qt::OtherFocusReason);
}

void TFr_Menu::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormShow();
}

QList<QWidget*> TFr_Menu::loginControls() const
{
    // In tab order.
    return {ui->edt_Usuario, ui->edt_Contra, ui->cmdAcceso};
}

bool TFr_Menu::eventFilter(QObject* watched, QEvent* event)
{
    // Key preview covers the login controls only: keys typed in a workflow
    // window are that window's business.
    if (event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    auto* control = qobject_cast<QWidget*>(watched);
    if (!control || !loginControls().contains(control))
        return QMainWindow::eventFilter(watched, event);
    if (!ui->Pa_Acceso->isEnabled())
        return true;

    const int key = static_cast<QKeyEvent*>(event)->key();
    if (control == ui->cmdAcceso && WorkflowWindow::isEnter(key)) {
        // The focused button takes Enter as a dialog key and is pressed; the
        // key is used up there, so no Enter character follows to move on.
        WorkflowWindow::guarded([this] { cmdAccesoClick(); });
        return true;
    }
    if (!WorkflowWindow::isEnter(key)) {
        if (control == ui->edt_Contra)
            WorkflowWindow::guarded([this, key] { edt_ContraKeyDown(key); });
        return false;
    }
    FormKeyPress(control);
    return true;
}

void TFr_Menu::FormKeyPress(QWidget* control)
{
    if (control != ui->edt_Contra) {
        selectNextLoginControl();
        return;
    }
    WorkflowWindow::stepThenEnterMove(
        this, [this] { edt_ContraKeyDown(Qt::Key_Return); }, [this] { selectNextLoginControl(); });
}

void TFr_Menu::selectNextLoginControl()
{
    // After a successful login the panel is gone and nothing is left to move to.
    if (!ui->Pa_Acceso->isVisible())
        return;
    const QList<QWidget*> controls = loginControls();
    QWidget* focused = focusWidget();
    const int at = controls.indexOf(focused);
    controls.at((at + 1) % controls.size())->setFocus(Qt::TabFocusReason);
}

void TFr_Menu::edt_ContraKeyDown(int key)
{
    if (WorkflowWindow::isEnter(key))
        cmdAccesoClick();
}

void TFr_Menu::cmdAccesoClick()
{
    MessageService& messages = MessageService::instance();
    const QString user = ui->edt_Usuario->text().trimmed();
    if (user.isEmpty()) {
        messages.errorBox(QStringLiteral("Ingrese su Usuario"),
                          QStringLiteral("Usuario Incorrecto"));
        ui->edt_Usuario->setFocus(Qt::OtherFocusReason);
        return;
    }
    const QString password = ui->edt_Contra->text().trimmed();
    if (password.isEmpty()) {
        messages.errorBox(QStringLiteral("Ingrese su Contraseña"),
                          QStringLiteral("Usuario Incorrecto"));
        ui->edt_Contra->setFocus(Qt::OtherFocusReason);
        return;
    }

    SharedQuery& q = Dm_Velmor->Qr_Aux;
    q.close();
    q.run(Dm_Velmor->Cx,
          CommandText(QStringLiteral("EXECUTE sp_KVR_Persona")).quoted(user).quoted(password));
    if (q.isEmpty()) {
        messages.errorBox(QStringLiteral("Usuario Incorrecto"));
        ui->edt_Contra->setFocus(Qt::OtherFocusReason);
        ui->edt_Contra->selectAll();
        return;
    }

    // There is no logout: nothing of the panel takes a key again, and until a
    // window opens the keys go to the frame, which does nothing with them.
    ui->Pa_Acceso->hide();
    ui->Pa_Acceso->setEnabled(false);
    setFocus(Qt::OtherFocusReason);
    Operator::setId(q.text(QStringLiteral("ID_Persona")));
    m_status->setOperator(user, Operator::id());
    statusBar()->setVisible(true);
    menuBar()->setVisible(true);
    m_procesos->menuAction()->setVisible(true);
}

QMdiSubWindow* TFr_Menu::openOrFocus(const QString& caption,
                                     const std::function<WorkflowWindow*()>& create)
{
    for (QMdiSubWindow* child : m_area->subWindowList(QMdiArea::CreationOrder)) {
        // A destroyed window may wait for its deletion a moment longer; it is gone.
        if (child->isHidden() && child->testAttribute(Qt::WA_DeleteOnClose))
            continue;
        if (child->windowTitle() != caption)
            continue;
        // The child gives the keyboard back to the control the operator left.
        if (child->isMinimized())
            child->showMaximized();
        m_area->setActiveSubWindow(child);
        return child;
    }

    WorkflowWindow* window = create();
    window->setWindowTitle(caption);
    QMdiSubWindow* child = window->addTo(m_area);
    m_area->setActiveSubWindow(child);
    // Qt paints without the desktop's update lock, so there is none to release.
    return child;
}
