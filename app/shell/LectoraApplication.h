#pragma once
// The application object: a QApplication whose event delivery catches what a
// handler lets through and hands it to the default error report, so a failed
// step never ends the run. Handlers guard their own steps; this is the net
// under them.

#include <QApplication>

class LectoraApplication : public QApplication
{
    Q_OBJECT
public:
    LectoraApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
