#pragma once
// Start-up: application object and title, profile, the embedded stand-in when
// there is no profile, the data module (its main connection opens now or the
// run ends with the error shown), the main window, the message loop.

#include <functional>
#include <memory>

struct Profile;
class TDm_Velmor;
class TFr_Menu;
namespace lectora::server
{
class EmbeddedServer;
}

int runLectora(int argc, char** argv);

// What start-up builds before the message loop, torn down in reverse order:
// the main window, then the data module, then the embedded stand-in.
struct Terminal {
    Terminal();
    ~Terminal();
    std::unique_ptr<lectora::server::EmbeddedServer> embedded; // null with a profile
    std::unique_ptr<TDm_Velmor> dataModule;
    std::unique_ptr<TFr_Menu> mainWindow;
};

// Everything up to the login window shown (the application object must
// exist). Null when the run cannot go on: the reason has been shown and
// `exitCode` says how the run ends. `loadProfile` throws ProfileError for a
// broken profile; the benchmarks give their own instead of the machine's.
std::unique_ptr<Terminal> startTerminal(int& exitCode,
                                        const std::function<Profile()>& loadProfile = {});
