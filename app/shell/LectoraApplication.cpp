#include "app/shell/LectoraApplication.h"

#include "app/shell/MessageService.h"

#include <exception>

LectoraApplication::LectoraApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool LectoraApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        MessageService::instance().reportFailure(std::current_exception());
    }
    return false;
}
