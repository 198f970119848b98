// corvane-host: a development stand-in for Corvane, the host application.
#include "hostbridge.h"
#include "hostwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#ifdef VENDALUX_SANITIZE
// The plug-in's XAPPPlugin globals give way to ours, so AddressSanitizer sees each
// registered twice at one address; only a size mismatch is a real ODR violation.
extern "C" const char *__asan_default_options() { return "detect_odr_violation=1"; }
#endif

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvane development host for the Vendalux uploader plug-in."));
    parser.addHelpOption();
    const QCommandLineOption photoOption(QStringLiteral("photo"), QStringLiteral("A photo to offer (repeatable)."), QStringLiteral("path"));
    const QCommandLineOption releaseOption(QStringLiteral("release"), QStringLiteral("A release file to offer (repeatable)."), QStringLiteral("path"));
    const QCommandLineOption serviceOption(QStringLiteral("service"),
                                           QStringLiteral("Reach the import service through this loopback proxy, e.g. 127.0.0.1:8081 (the simulator)."),
                                           QStringLiteral("host:port"));
    const QCommandLineOption libraryOption(QStringLiteral("library"), QStringLiteral("The plug-in library."),
                                           QStringLiteral("path"), QStringLiteral(DEFAULT_PLUGIN_LIBRARY));
    const QCommandLineOption pageOption(QStringLiteral("page"), QStringLiteral("The uploader page."),
                                        QStringLiteral("path"), QStringLiteral(DEFAULT_UPLOADER_PAGE));
    const QCommandLineOption scriptedOption(QStringLiteral("scripted"),
                                            QStringLiteral("Run the page's scripted session, print it, and quit (use with QT_QPA_PLATFORM=offscreen)."));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"), QStringLiteral("Save the page as an image when the session ends."),
                                              QStringLiteral("file"));
    const QCommandLineOption clientIdOption(QStringLiteral("client-id"), QStringLiteral("Client id for the scripted session."),
                                            QStringLiteral("id"), QStringLiteral("demo"));
    const QCommandLineOption clientKeyOption(QStringLiteral("client-key"), QStringLiteral("Client key for the scripted session."),
                                             QStringLiteral("key"), QStringLiteral("demo-key"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("Password for the scripted session."),
                                            QStringLiteral("password"), QStringLiteral("demo-password"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Seconds a scripted session may take."),
                                           QStringLiteral("seconds"), QStringLiteral("120"));
    parser.addOptions({photoOption, releaseOption, serviceOption, libraryOption, pageOption, scriptedOption,
                       screenshotOption, clientIdOption, clientKeyOption, passwordOption, timeoutOption});
    parser.process(app);

    QTextStream err(stderr);
    if (parser.isSet(serviceOption)) {
        const QUrl proxy = QUrl::fromUserInput(parser.value(serviceOption));
        if (proxy.host().isEmpty() || proxy.port() <= 0) {
            err << "corvane-host: --service needs host:port\n";
            return 2;
        }
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy.host(), quint16(proxy.port())));
    }

    const bool scripted = parser.isSet(scriptedOption);
    HostBridge bridge(parser.values(photoOption), parser.values(releaseOption), scripted, nullptr);
    bridge.setCredentials(parser.value(clientIdOption), parser.value(clientKeyOption), parser.value(passwordOption));
    HostWindow window(parser.value(libraryOption), &bridge);

    const QString screenshot = parser.value(screenshotOption);
    int exitCode = 0;
    auto end = [&](bool succeeded, const QString &summary) {
        if (!screenshot.isEmpty() && !window.saveScreenshot(screenshot)) {
            err << "corvane-host: cannot write the screenshot " << screenshot << '\n';
            succeeded = false;
        }
        QTextStream(stdout) << (succeeded ? "SESSION OK" : "SESSION FAILED") << (summary.isEmpty() ? "" : ": ") << summary << Qt::endl;
        exitCode = succeeded ? 0 : 1;
        app.quit();
    };
    QObject::connect(&window, &HostWindow::pageReady, &app, [&](bool pluginLoaded) {
        if (!pluginLoaded)
            end(false, QStringLiteral("the plug-in could not be attached: ") + window.errorString());
    });
    if (scripted) {
        QObject::connect(&bridge, &HostBridge::sessionFinished, &app, end);
        const int seconds = qBound(1, parser.value(timeoutOption).toInt(), 3600);
        QTimer::singleShot(seconds * 1000, &app, [&] { end(false, QStringLiteral("timed out")); });
    }

    if (!window.open(QUrl::fromLocalFile(QFileInfo(parser.value(pageOption)).absoluteFilePath()))) {
        err << "corvane-host: cannot load the plug-in: " << window.errorString() << '\n';
        return 1;
    }
    window.show();
    const int loopResult = app.exec();
    return exitCode ? exitCode : loopResult;
}
