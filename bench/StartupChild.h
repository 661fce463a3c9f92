#pragma once
// The terminal's start-up as the start-up benchmarks run it in a child
// process: on the embedded default whatever profile the machine has (a
// machine's /etc/lectora pointing at an absent server must not become the
// figure), and a failure ends the child with its reason on stderr rather
// than waiting on an error box nobody sees.

#include "app/Startup.h"
#include "app/shell/MessageService.h"
#include "app/shell/Profile.h"

#include <cstdio>
#include <memory>

namespace bench
{

// Leaves the message service scripted: the child shows nothing.
inline std::unique_ptr<Terminal> startChildTerminal(int& exitCode)
{
    MessageService::instance().setScripted(true);
    // No profile file at all: not the user's, not the machine's.
    std::unique_ptr<Terminal> terminal =
        startTerminal(exitCode, [] { return Profile::loadFirst(QString(), {}); });
    if (!terminal) {
        for (const MessageService::Shown& shown : MessageService::instance().shown())
            std::fprintf(stderr, "%s\n", qPrintable(shown.text));
        if (exitCode == 0)
            exitCode = 1;
    }
    return terminal;
}

} // namespace bench
