#include "scriptedhttpserver.h"

#include <QRegularExpression>

#include <sys/socket.h>

ScriptedHttpServer::ScriptedHttpServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, &ScriptedHttpServer::readRequest);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    listen(QHostAddress::LocalHost, 0);
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

void ScriptedHttpServer::readRequest()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const QByteArray data = socket->peek(socket->bytesAvailable()); // read once whole
    const int headEnd = data.indexOf("\r\n\r\n");
    const QByteArray head = data.left(headEnd);
    static const QRegularExpression lengthField(QStringLiteral("(?i)\r\ncontent-length:\\s*(\\d+)"));
    const int length = lengthField.match(QString::fromLatin1(head)).captured(1).toInt();
    if (headEnd < 0 || data.size() < headEnd + 4 + length)
        return;
    socket->readAll();
    requests.append({head, data.mid(headEnd + 4, length), socket});
    const int index = requests.size() - 1;
    if (!automaticAnswers.isEmpty())
        answer(index, automaticAnswers.takeFirst());
    emit requestReceived(index);
}
