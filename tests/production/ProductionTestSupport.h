#pragma once
// What the production window tests share: canned server answers, answers
// given in turn, and the messages shown written as one line each
// ("E|caption|text" for an error box, "P|text" for a plain message,
// "Q|caption|text" for a question), so a table row can list them.

#include "app/shell/MessageService.h"
#include "server/ProcedureHost.h"
#include "tests/support/TerminalFixture.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace production_test
{

using lectora::server::Call;
using lectora::server::Reply;
using lectora::server::ResultSet;

// A status answer: one row with Error and its description column.
inline Reply status(const QString& code, const QString& text,
                    const std::string& textColumn = "ErrorDesc")
{
    return TerminalFixture::status(code.toStdString(), text.toStdString(), textColumn);
}

// A status answer with its columns and no row.
inline Reply noRow(const std::string& textColumn = "ErrorDesc")
{
    return TerminalFixture::status(std::nullopt, "", textColumn);
}

inline Reply serverError()
{
    return Reply::fail("Deadlock en la tabla de ordenes");
}

// A procedure body that gives `replies` one per call, repeating the last.
inline lectora::server::ProcedureBody inTurn(std::vector<Reply> replies)
{
    struct State {
        std::mutex mutex;
        std::vector<Reply> replies;
        std::size_t next = 0;
    };
    auto state = std::make_shared<State>();
    state->replies = std::move(replies);
    return [state](Call&) {
        std::lock_guard lock(state->mutex);
        const std::size_t i = std::min(state->next++, state->replies.size() - 1);
        return state->replies[i];
    };
}

inline QStringList shownMessages()
{
    QStringList lines;
    for (const auto& m : MessageService::instance().shown()) {
        switch (m.form) {
        case MessageService::Form::ErrorBox:
            lines << QStringLiteral("E|%1|%2").arg(m.caption, m.text);
            break;
        case MessageService::Form::Plain:
            lines << QStringLiteral("P|%1").arg(m.text);
            break;
        case MessageService::Form::Question:
            lines << QStringLiteral("Q|%1|%2").arg(m.caption, m.text);
            break;
        default:
            lines << QStringLiteral("?|%1|%2").arg(m.caption, m.text);
        }
    }
    return lines;
}

} // namespace production_test

Q_DECLARE_METATYPE(lectora::server::Reply)
