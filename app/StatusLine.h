#pragma once
// The main window's status line once an operator is logged in: the operator
// (login name and id), the server (host,port), the database of the front
// window's connection and the state of its link (encrypted, plain, or lost
// from a failed command until one succeeds again) with its last command's
// round trip; "demo" on the embedded default. It only shows: it takes no
// focus and no key, and the workflow windows know nothing of it.

#include "data/DataEvents.h"

#include <QHash>
#include <QLabel>

class Connection;
class QMdiArea;

class StatusLine : public QLabel, public dataevents::Watcher
{
    Q_OBJECT
public:
    StatusLine(QMdiArea* area, QWidget* parent);
    ~StatusLine() override;

    void setOperator(const QString& login, const QString& id);
    void setDemo(bool demo);

    void commandDone(const dataevents::Command& command) override;
    void linkOpened(Connection&, qint64) override {}
    void linkFailed(Connection& connection, const QString& error) override;
    void linkClosed(Connection&) override {}

private:
    struct Link {
        bool lost = false;
        qint64 micros = -1; // the last command's round trip; -1 before the first
    };
    Connection* frontConnection() const;
    QString linkState(const Connection& connection) const;
    void refresh();

    QMdiArea* m_area;
    QString m_operator;
    bool m_demo = false;
    QHash<const Connection*, Link> m_links;
};
