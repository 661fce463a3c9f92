#pragma once
// The main window: an MDI frame titled "Inventarios" with the login panel and
// the "Procesos" menu, whose entries open the workflow windows (one per
// caption: an open one is brought forward, a destroyed one is made anew).

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <memory>

class QMdiArea;
class QMdiSubWindow;
class QAction;
class StatusLine;
class WorkflowWindow;

namespace Ui
{
class TFr_Menu;
}

class TFr_Menu : public QMainWindow
{
    Q_OBJECT
public:
    // `visibleEntries`: names of the menu entries shown after login.
    explicit TFr_Menu(const QStringList& visibleEntries, QWidget* parent = nullptr);
    ~TFr_Menu() override;

    // The logged-in operator's id (empty before the login); the shell keeps it
    // so the workflow windows need not know the main window.
    QString IdPersona() const;

    QMdiArea* mdiArea() const { return m_area; }
    StatusLine* statusLine() const { return m_status; }
    // The entry by name ("Inventario1"), for tests and the profile.
    QAction* entry(const QString& name) const;
    // Open-or-focus: the child captioned exactly `caption`, or a new one made by `create`.
    QMdiSubWindow* openOrFocus(const QString& caption,
                               const std::function<WorkflowWindow*()>& create);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void FormKeyPress(QWidget* control);
    void cmdAccesoClick();
    void edt_ContraKeyDown(int key);
    void buildMenu(const QStringList& visibleEntries);
    void addStatusLine();

    // The menu's handlers, named as its entries are; each opens the window
    // its entry's row of kMenu gives.
    void EntradaPorPallet1Click() { openEntry("EntradaPorPallet1"); }
    void EntradaPorCajaRollo1Click() { openEntry("EntradaPorCajaRollo1"); }
    void ReciboenProduccin1Click() { openEntry("ReciboenProduccin1"); }
    void Salida1Click() { openEntry("Salida1"); }
    void Entregade1Click() { openEntry("Entregade1"); }
    void LiberacindeCalidadVElmor1Click() { openEntry("LiberacindeCalidadVElmor1"); }
    void Embarque1Click() { openEntry("Embarque1"); }
    void Reubicaciones2Click() { openEntry("Reubicaciones2"); }
    void Reubicaciones1Click() { openEntry("Reubicaciones1"); }
    void Inventario1Click() { openEntry("Inventario1"); }
    void NordaPavrel1Click() { openEntry("NordaPavrel1"); }
    void Ulmar1Click() { openEntry("Ulmar1"); }

    // One row of the "Procesos" menu (see kMenu in U_Menu.cpp).
    struct MenuEntry {
        const char* name; // the action in U_Menu.ui, and the name [menu] visible gives
        void (TFr_Menu::*click)();
        const char* caption; // UTF-8: the window's title, by which an open one is found
        WorkflowWindow* (*create)();
    };
    static const MenuEntry kMenu[];
    void openEntry(const char* name);

    QList<QWidget*> loginControls() const;
    void selectNextLoginControl();

    std::unique_ptr<Ui::TFr_Menu> ui;
    QMdiArea* m_area = nullptr;
    QMenu* m_procesos = nullptr;
    StatusLine* m_status = nullptr;
    bool m_shownOnce = false;
};

extern TFr_Menu* Fr_Menu;
