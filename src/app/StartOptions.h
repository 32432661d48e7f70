#pragma once
// What is decided before the application connects to a window system: the command line, and
// which platform to run on.
#include <QStringList>

class QProcessEnvironment;
class QTextStream;

namespace wispline
{

struct StartOptions {
    int exitCode = -1;           // 0 or more: the command line was answered; end with this code
    bool platformChosen = false; // -platform was given
};

// Reads the command line. --help and --version print to `out`; an unknown option or a stray
// argument prints the error and the usage to `err`. Qt's own options (-platform, -style, ...)
// are accepted and left to the application. Needs a QCoreApplication for the program name.
StartOptions parseCommandLine(const QStringList& arguments, QTextStream& out, QTextStream& err);

// True when the client should run on X11 instead of Wayland: a native Wayland client cannot place
// the pop-up at the screen corner. Only in a Wayland session with an X server (DISPLAY) and when
// the user chose no platform.
bool preferX11(const QProcessEnvironment& environment, bool platformChosen);

// Answers the command line and chooses the platform, before any QApplication exists (so --help
// works without a display). Returns the exit code, or -1 to go on starting.
int prepareStart(int& argc, char** argv);

} // namespace wispline
