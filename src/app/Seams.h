#pragma once
// Replaceable services. Production code reaches the desktop (message boxes, the clock, the
// process end, the program folder, the screen) only through these, so tests can run headless
// and script every answer.
#include <QDateTime>
#include <QRect>
#include <QString>
#include <functional>

namespace wispline
{

enum class BoxIcon { None, Information, Exclamation, Critical, Question };
enum class BoxButtons { Ok, YesNo };
enum class BoxAnswer { Ok, Yes, No };

struct BoxRequest {
    QString text;
    QString title;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
    BoxAnswer defaultButton = BoxAnswer::Ok;
};

// A modal message box. Text is always shown as plain text.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    virtual BoxAnswer show(const BoxRequest& request) = 0;
    // A box that holds nothing up: shown, and the caller goes on at once; `answered` runs once
    // it has been closed.
    virtual void showNotice(const BoxRequest& request, std::function<void()> answered) = 0;
};

class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

// Ends the process at once: no further handlers, questions or unload processing run.
// `where` names the path that ended it (tests check it); `status` is the exit status, 0 only
// when the user chose to end. Callers return right after.
class ProcessExit
{
public:
    virtual ~ProcessExit() = default;
    virtual void endNow(const char* where, int status) = 0;
};

class ProgramFolder
{
public:
    virtual ~ProgramFolder() = default;
    virtual QString path() const = 0;
};

// The primary screen, in pixels.
class ScreenInfo
{
public:
    virtual ~ScreenInfo() = default;
    virtual QRect geometry() const = 0;          // the whole screen
    virtual QRect availableGeometry() const = 0; // without task bars and panels
};

namespace services
{
MessageBoxes& boxes();
Clock& clock();
ProcessExit& processExit();
ProgramFolder& programFolder();
ScreenInfo& screen();

// Install a replacement (nullptr restores the production service). The caller keeps ownership.
void setBoxes(MessageBoxes* replacement);
void setClock(Clock* replacement);
void setProcessExit(ProcessExit* replacement);
void setProgramFolder(ProgramFolder* replacement);
void setScreen(ScreenInfo* replacement);

// Used at start-up by the desktop layer, and by the production process end.
void setProductionBoxes(MessageBoxes* production);
void setProductionScreen(ScreenInfo* production);
void addExitHook(std::function<void()> hook);
void runExitHooks();
} // namespace services

// Convenience wrappers used throughout the client.
BoxAnswer showBox(const QString& text, const QString& title, BoxIcon icon,
                  BoxButtons buttons = BoxButtons::Ok, BoxAnswer defaultButton = BoxAnswer::Ok);
// A box with an OK button that does not wait for its answer (see MessageBoxes::showNotice).
void showNotice(const QString& text, const QString& title, BoxIcon icon,
                std::function<void()> answered);
// The error box of a trapped handler: number, CR LF, description; critical icon.
void showErrorBox(int number, const QString& description, const QString& title);
// Writes one line naming the cause to standard error, then ends the process.
void endProgram(const char* where, int status);

} // namespace wispline
