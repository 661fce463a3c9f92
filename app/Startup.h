#pragma once
// Start-up: application object and title, profile, the embedded stand-in when
// there is no profile, the data module (its main connection opens now or the
// run ends with the error shown), the main window, the message loop.

int runLectora(int argc, char** argv);
