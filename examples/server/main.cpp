// A server with one method, add(int, int), on 127.0.0.1; prints its port.
#include <maiaFault.h>
#include <maiaXmlRpcServer.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    MaiaXmlRpcServer server;
    server.registerMethod(QStringLiteral("add"), [](const QVariantList &params) -> QVariant {
        if (params.size() != 2)
            return QVariant::fromValue(MaiaFault(-32602, QStringLiteral("add takes two numbers")));
        return params.at(0).toInt() + params.at(1).toInt();
    });
    const quint16 port = app.arguments().value(1).toUShort(); // none: any free port
    if (!server.listen(QHostAddress::LocalHost, port)) {
        QTextStream(stderr) << server.errorString() << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << server.serverPort() << Qt::endl;
    return app.exec();
}
