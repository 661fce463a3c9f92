#include "app/shell/Refusal.h"

#include "app/shell/MessageService.h"
#include "data/SharedQuery.h"

QString refusalText(const QString& word, const QString& code, const QString& description)
{
    return word + QStringLiteral(": #") + code.trimmed() + QStringLiteral(".\r\n") +
           description.trimmed();
}

void showRefusal(const SharedQuery& answer, const QString& descriptionColumn, const QString& word)
{
    const QString code = answer.text(QStringLiteral("Error"));
    const QString description = answer.text(descriptionColumn);
    MessageService::instance().errorBox(refusalText(word, code, description), word);
}
