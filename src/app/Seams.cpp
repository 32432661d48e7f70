#include "app/Seams.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

Q_LOGGING_CATEGORY(lcApp, "wispline.app", QtInfoMsg)

namespace wispline
{

namespace
{

// Headless fallbacks, used until the desktop services are installed.
class DefaultBoxes final : public MessageBoxes
{
public:
    BoxAnswer show(const BoxRequest& r) override
    {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(r.title), qPrintable(r.text));
        return r.defaultButton;
    }
    void showNotice(const BoxRequest& r, std::function<void()> answered) override
    {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(r.title), qPrintable(r.text));
        if (answered)
            answered();
    }
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

class ImmediateExit final : public ProcessExit
{
public:
    void endNow(const char*, int status) override
    {
        services::runExitHooks();
        std::fflush(nullptr);
        std::_Exit(status);
    }
};

class ApplicationFolder final : public ProgramFolder
{
public:
    QString path() const override { return QCoreApplication::applicationDirPath(); }
};

class FixedScreen final : public ScreenInfo
{
public:
    QRect geometry() const override { return QRect(0, 0, 1024, 768); }
    QRect availableGeometry() const override { return geometry(); }
};

DefaultBoxes g_defaultBoxes;
SystemClock g_systemClock;
ImmediateExit g_immediateExit;
ApplicationFolder g_applicationFolder;
FixedScreen g_fixedScreen;

MessageBoxes* g_productionBoxes = &g_defaultBoxes;
ScreenInfo* g_productionScreen = &g_fixedScreen;

MessageBoxes* g_boxes = nullptr;
Clock* g_clock = nullptr;
ProcessExit* g_exit = nullptr;
ProgramFolder* g_folder = nullptr;
ScreenInfo* g_screen = nullptr;

std::vector<std::function<void()>>& exitHooks()
{
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

} // namespace

namespace services
{
MessageBoxes& boxes()
{
    return g_boxes ? *g_boxes : *g_productionBoxes;
}
Clock& clock()
{
    return g_clock ? *g_clock : g_systemClock;
}
ProcessExit& processExit()
{
    return g_exit ? *g_exit : g_immediateExit;
}
ProgramFolder& programFolder()
{
    return g_folder ? *g_folder : g_applicationFolder;
}
ScreenInfo& screen()
{
    return g_screen ? *g_screen : *g_productionScreen;
}

void setBoxes(MessageBoxes* replacement)
{
    g_boxes = replacement;
}
void setClock(Clock* replacement)
{
    g_clock = replacement;
}
void setProcessExit(ProcessExit* replacement)
{
    g_exit = replacement;
}
void setProgramFolder(ProgramFolder* replacement)
{
    g_folder = replacement;
}
void setScreen(ScreenInfo* replacement)
{
    g_screen = replacement;
}

void setProductionBoxes(MessageBoxes* production)
{
    g_productionBoxes = production;
}
void setProductionScreen(ScreenInfo* production)
{
    g_productionScreen = production;
}
void addExitHook(std::function<void()> hook)
{
    exitHooks().push_back(std::move(hook));
}
void runExitHooks()
{
    for (auto& hook : exitHooks())
        hook();
}
} // namespace services

BoxAnswer showBox(const QString& text, const QString& title, BoxIcon icon, BoxButtons buttons,
                  BoxAnswer defaultButton)
{
    BoxRequest r;
    r.text = text;
    r.title = title;
    r.icon = icon;
    r.buttons = buttons;
    r.defaultButton = defaultButton;
    return services::boxes().show(r);
}

void showNotice(const QString& text, const QString& title, BoxIcon icon,
                std::function<void()> answered)
{
    BoxRequest r;
    r.text = text;
    r.title = title;
    r.icon = icon;
    services::boxes().showNotice(r, std::move(answered));
}

void showErrorBox(int number, const QString& description, const QString& title)
{
    showBox(QString::number(number) + QStringLiteral("\r\n") + description, title,
            BoxIcon::Critical);
}

void endProgram(const char* where, int status)
{
    qCInfo(lcApp, "ended: %s (exit status %d)", where, status);
    services::processExit().endNow(where, status);
}

} // namespace wispline
