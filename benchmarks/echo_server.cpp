// echo-server: our XML-RPC server with one method, echo(string), on
// 127.0.0.1; prints its port on the first line.
#include "maiaXmlRpcServer.h"

#include <QCoreApplication>
#include <QTextStream>

class Echo : public QObject
{
    Q_OBJECT
public slots:
    QString echo(const QString &text) { return text; }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Echo echo;
    MaiaXmlRpcServer server(QHostAddress::LocalHost, 0);
    if (server.serverPort() == 0)
        return 1;
    server.registerMethod(QStringLiteral("echo"), &echo, "echo");
    QTextStream(stdout) << server.serverPort() << Qt::endl;
    return app.exec();
}

#include "echo_server.moc"
