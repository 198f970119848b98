// vendalux-sim: the simulated Vendalux import service on 127.0.0.1.
#include "importservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vendalux-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Vendalux import service. Prints the port it listens on as its first line.\n"
        "Demo account: client id \"demo\", client key \"demo-key\", password \"demo-password\"."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port on 127.0.0.1 (0 picks a free one)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Do not log each call."));
    parser.addOption(portOption);
    parser.addOption(quietOption);
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    QTextStream err(stderr);
    if (!portOk || port > 65535) {
        err << "vendalux-sim: --port needs a number from 0 to 65535\n";
        return 2;
    }

    ImportService service;
    if (!service.listen(quint16(port))) {
        err << "vendalux-sim: cannot listen on 127.0.0.1:" << port << '\n';
        return 1;
    }
    QTextStream out(stdout);
    out << service.port() << Qt::endl;
    if (!parser.isSet(quietOption)) {
        QObject::connect(&service, &ImportService::callRecorded,
                         [&out](const QString &method, bool accepted, const QString &note) {
                             out << method << ' ' << (accepted ? "accepted" : "refused")
                                 << (note.isEmpty() ? QString() : QStringLiteral(" (") + note + ')') << Qt::endl;
                         });
        QObject::connect(&service, &ImportService::photoStored,
                         [&out](const QString &id, const QStringList &metadata) {
                             out << "photo " << id << " stored: "
                                 << (metadata.isEmpty() ? QStringLiteral("no metadata")
                                                        : metadata.join(QLatin1String(", ")) + QLatin1String(" kept"))
                                 << Qt::endl;
                         });
    }
    return app.exec();
}
