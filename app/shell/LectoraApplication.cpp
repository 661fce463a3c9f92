#include "app/shell/LectoraApplication.h"

#include "app/shell/MessageService.h"
#include "data/DbError.h"

#include <exception>

LectoraApplication::LectoraApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool LectoraApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const DbError& error) {
        MessageService::instance().defaultError(error.text());
    } catch (const std::exception& error) {
        MessageService::instance().defaultError(QString::fromUtf8(error.what()));
    }
    return false;
}
