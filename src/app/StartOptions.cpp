#include "app/StartOptions.h"

#include "app/WisplineModule.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QTextStream>

namespace wispline
{

namespace
{
constexpr int kUsageError = 2;

// The options QGuiApplication and QApplication read themselves.
const char* const kQtValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "title",         "name",    "qmljsdebugger"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
} // namespace

StartOptions parseCommandLine(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
    QCommandLineParser parser;
    // Qt's options are written with one dash (-platform xcb).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Chat and alert client for an organisation's message server."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const char* name : kQtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    StartOptions result;
    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first());
    if (!error.isEmpty()) {
        err << error << "\n\n" << parser.helpText() << Qt::flush;
        result.exitCode = kUsageError;
    } else if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        out << parser.helpText() << Qt::flush;
        result.exitCode = 0;
    } else if (parser.isSet(version)) {
        out << "wispline " << programVersion() << Qt::endl;
        result.exitCode = 0;
    }
    result.platformChosen = parser.isSet(QStringLiteral("platform"));
    return result;
}

bool preferX11(const QProcessEnvironment& environment, bool platformChosen)
{
    const bool wayland = !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
                         environment.value(QStringLiteral("XDG_SESSION_TYPE"))
                                 .compare(QStringLiteral("wayland"), Qt::CaseInsensitive) == 0;
    return wayland && !environment.value(QStringLiteral("DISPLAY")).isEmpty() &&
           environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty() && !platformChosen;
}

int prepareStart(int& argc, char** argv)
{
    StartOptions options;
    {
        // Only for the program name and the arguments; gone before the real application.
        QCoreApplication early(argc, argv);
        QTextStream out(stdout);
        QTextStream err(stderr);
        options = parseCommandLine(QCoreApplication::arguments(), out, err);
    }
    if (options.exitCode >= 0)
        return options.exitCode;
    if (preferX11(QProcessEnvironment::systemEnvironment(), options.platformChosen))
        qputenv("QT_QPA_PLATFORM", "xcb");
    return -1;
}

} // namespace wispline
