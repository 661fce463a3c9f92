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

    void EntradaPorPallet1Click();
    void EntradaPorCajaRollo1Click();
    void ReciboenProduccin1Click();
    void Salida1Click();
    void Entregade1Click();
    void LiberacindeCalidadVElmor1Click();
    void Embarque1Click();
    void Reubicaciones2Click();
    void Reubicaciones1Click();
    void Inventario1Click();
    void NordaPavrel1Click();
    void Ulmar1Click();

    QList<QWidget*> loginControls() const;
    void selectNextLoginControl();

    std::unique_ptr<Ui::TFr_Menu> ui;
    QMdiArea* m_area = nullptr;
    QMenu* m_procesos = nullptr;
    bool m_shownOnce = false;
};

extern TFr_Menu* Fr_Menu;
