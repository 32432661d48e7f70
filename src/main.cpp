// The wispline executable: start-up only; everything else lives in the subsystem libraries.
#include "app/DesktopServices.h"
#include "app/EndSignals.h"
#include "app/Seams.h"
#include "app/StartOptions.h"
#include "app/WisplineModule.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmWisplineClient.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv)
{
    wispline::EndSignals::block(); // before Qt starts any thread
    if (const int answered = wispline::prepareStart(argc, argv); answered >= 0)
        return answered;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wispline"));
    QApplication::setApplicationVersion(wispline::programVersion());
    QApplication::setDesktopFileName(QStringLiteral("org.wispline.Wispline")); // icon, app id
    QApplication::setStyle(QStringLiteral("Fusion")); // honours the theme's palette colours
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/wispline/wispline.png")));
    wispline::installDesktopServices();

    wispline::InstanceGuard guard(wispline::InstanceGuard::defaultLockPath());
    wispline::FrmLogin* login = nullptr;
    wispline::FrmWisplineClient* mainWindow = nullptr;
    // A signal or the end of the desktop session ends the program as a confirmed shutdown does.
    auto endFromOutside = [&](const char* cause) {
        if (mainWindow)
            mainWindow->endSession(cause);
        else
            wispline::endProgram(cause, 0);
    };
    wispline::EndSignals endSignals;
    QObject::connect(&endSignals, &wispline::EndSignals::received, &app, endFromOutside);
    // A save request is no end (a checkpoint, or a log-out that may yet be cancelled): the
    // data is saved and the program goes on. The session's end itself comes as a quit.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&] {
        if (mainWindow)
            mainWindow->saveRequested();
    });
    // Any other way out of the event loop (the session's "Die", a lost display connection that
    // Qt survives, a quit) ends as an end from outside does: handled, logged out, saved.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app,
                     [&] { endFromOutside("event loop ended"); });
    const bool started = wispline::Main(guard, [&] {
        login = new wispline::FrmLogin();
        login->setOnAccepted([&] {
            if (!mainWindow)
                mainWindow = new wispline::FrmWisplineClient(login);
            mainWindow->Form_Load();
            if (!mainWindow->link().hasEnded())
                mainWindow->show();
        });
        login->show();
    });
    if (!started)
        return 0;
    return app.exec();
}
