// Calls add(2, 3) on the server at the given port of 127.0.0.1 and prints the answer.
#include <maiaCall.h>
#include <maiaXmlRpcClient.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    MaiaXmlRpcClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/RPC2").arg(app.arguments().value(1))));
    client.setTimeout(10 * 1000);
    MaiaCall *call = client.call(QStringLiteral("add"), {2, 3});
    QObject::connect(call, &MaiaCall::finished, &app, [call] {
        if (call->isFault()) {
            QTextStream(stderr) << "fault " << call->fault().code() << ": " << call->fault().message() << Qt::endl;
            QCoreApplication::exit(1);
        } else {
            QTextStream(stdout) << "add(2, 3) = " << call->result().toString() << Qt::endl;
            QCoreApplication::exit(0);
        }
    });
    return app.exec();
}
