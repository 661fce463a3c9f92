#include "app/shell/Operator.h"

namespace
{
QString g_id;
}

QString Operator::id()
{
    return g_id;
}

void Operator::setId(const QString& id)
{
    g_id = id;
}
