#include "scriptedhttpserver.h"

#include <sys/socket.h>

ScriptedHttpServer::ScriptedHttpServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &ScriptedHttpServer::acceptConnections);
    listen(QHostAddress::LocalHost, 0);
}

QUrl ScriptedHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
}

QByteArray ScriptedHttpServer::httpAnswer(const QByteArray &body, int status, const QByteArray &reason)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void ScriptedHttpServer::answer(int index, const QByteArray &bytes)
{
    QTcpSocket *socket = requests.at(index).socket;
    if (!socket)
        return;
    socket->write(bytes);
    if (!resetAfterAnswer)
        return socket->disconnectFromHost();
    socket->waitForBytesWritten(5000);
    // A zero linger time makes closing send RST rather than FIN.
    const linger resetOnClose{1, 0};
    setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    socket->abort();
}

void ScriptedHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, &ScriptedHttpServer::readRequest);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ScriptedHttpServer::readRequest()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    QByteArray &data = partial[socket];
    data += socket->readAll();
    const int headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QByteArray head = data.left(headEnd);
    int length = 0;
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            length = line.mid(colon + 1).trimmed().toInt();
    }
    if (data.size() < headEnd + 4 + length)
        return;
    requests.append({head, data.mid(headEnd + 4, length), socket});
    partial.remove(socket);
    const int index = requests.size() - 1;
    if (!automaticAnswers.isEmpty())
        answer(index, automaticAnswers.takeFirst());
    emit requestReceived(index);
}
