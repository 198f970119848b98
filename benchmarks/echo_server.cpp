// echo-server: our XML-RPC server with one method, echo(string), on
// 127.0.0.1; prints its port on the first line.
#include "maiaXmlRpcServer.h"

#include <QCoreApplication>
#include <QTextStream>

class Echo : public QObject
{
public:
    QString echo(const QString &text) { return text; }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Echo echo;
    MaiaXmlRpcServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    server.registerMethod(QStringLiteral("echo"), &echo, &Echo::echo);
    QTextStream(stdout) << server.serverPort() << Qt::endl;
    return app.exec();
}
