#include "maiaXmlRpcServerConnection.h"

#include "documentguard.h"
#include "documentreader.h"
#include "documentwriter.h"
#include "maiaFault.h"
#include "qhttprequestheader.h"
#include "qhttpresponseheader.h"

#include <QHostAddress>
#include <QMetaMethod>
#include <QTimer>
#include <QTimerEvent>
#include <QTcpSocket>

#include <utility>

namespace {

constexpr int maxArguments = 10;
// No peer may make a connection hold more than this.
constexpr int maxHeaderBytes = 64 * 1024;
constexpr uint maxContentLength = DocumentGuard::maxDocumentBytes;

} // namespace

MaiaXmlRpcServerConnection::MaiaXmlRpcServerConnection(QTcpSocket *connection, QObject *parent)
    : QObject(parent)
    , clientConnection(connection)
{
    connect(clientConnection, SIGNAL(readyRead()), this, SLOT(readFromSocket()));
    connect(clientConnection, SIGNAL(disconnected()), this, SLOT(deleteLater()));
    // A peer reading a large answer slowly is still busy, not idle.
    connect(clientConnection, SIGNAL(bytesWritten(qint64)), this, SLOT(restartIdleTimer()));
}

MaiaXmlRpcServerConnection::~MaiaXmlRpcServerConnection()
{
    if (clientConnection)
        clientConnection->deleteLater();
}

void MaiaXmlRpcServerConnection::setIdleTimeout(int msecs)
{
    idleTimeout = msecs;
    if (idleTimeout > 0)
        idleTimer.start(idleTimeout, this);
    else
        idleTimer.stop();
}

void MaiaXmlRpcServerConnection::restartIdleTimer()
{
    if (idleTimer.isActive())
        idleTimer.start(idleTimeout, this);
}

void MaiaXmlRpcServerConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != idleTimer.timerId())
        return QObject::timerEvent(event);
    idleTimer.stop();
    if (!clientConnection || clientConnection->state() == QAbstractSocket::UnconnectedState)
        return;
    qWarning().noquote() << "Closing a connection from" << clientConnection->peerAddress().toString()
                         << "idle for" << idleTimeout << "ms";
    close(); // its disconnected() deletes this connection, as for any other close
}

void MaiaXmlRpcServerConnection::readFromSocket()
{
    restartIdleTimer();
    while (!header && clientConnection->canReadLine()) {
        const QByteArray line = clientConnection->readLine();
        headerString += DocumentGuard::decodeUpToNul(line);
        if (headerString.size() > maxHeaderBytes) {
            qWarning() << "Closing a connection whose header passed" << maxHeaderBytes << "bytes";
            return close();
        }
        if (line != "\r\n")
            continue;
        header.reset(new QHttpRequestHeader(headerString));
        if (!header->isValid())
            return reject("Invalid Header");
        if (header->method() != QLatin1String("POST"))
            return reject("No Post!");
        if (header->contentLength() == 0)
            return reject("No Content Length");
        if (header->contentLength() > maxContentLength) {
            qWarning() << "Closing a connection announcing" << header->contentLength()
                       << "bytes, more than" << maxContentLength;
            return close();
        }
    }
    // A header line may be long without ending: count what waits unread too.
    if (!header && clientConnection->bytesAvailable() + headerString.size() > maxHeaderBytes) {
        qWarning() << "Closing a connection whose header passed" << maxHeaderBytes << "bytes";
        return close();
    }
    if (header && clientConnection->bytesAvailable() >= header->contentLength()) {
        // One request per connection: whatever follows the body is ignored.
        disconnect(clientConnection, SIGNAL(readyRead()), this, SLOT(readFromSocket()));
        // From the event loop, not inside the socket's signal: a slot may
        // destroy the server, and the socket with it.
        QTimer::singleShot(0, this, [this, call = clientConnection->read(header->contentLength())]() mutable {
            handleCall(std::move(call));
        });
    }
}

void MaiaXmlRpcServerConnection::reject(const char *reason)
{
    qDebug() << reason;
    close();
}

void MaiaXmlRpcServerConnection::close()
{
    disconnect(clientConnection, SIGNAL(readyRead()), this, SLOT(readFromSocket()));
    clientConnection->abort();
}

void MaiaXmlRpcServerConnection::handleCall(QByteArray call)
{
    const DocumentReader::Call document = DocumentReader::readCall(std::move(call));
    if (document.outcome == DocumentReader::Refused)
        return writeFault(-32700, QLatin1String("parse error: refused: ") + document.error);
    if (document.outcome == DocumentReader::NotWellFormed)
        return writeFault(-32700, QStringLiteral("parse error: not well formed"));
    if (document.outcome == DocumentReader::NotXmlRpc)
        return writeFault(-32600, QStringLiteral("server error: invalid xml-rpc. not conforming to spec"));

    QObject *responseObject = nullptr;
    const char *responseSlot = nullptr;
    emit getMethod(document.methodName, &responseObject, &responseSlot);
    if (!responseObject)
        return writeFault(-32601, QStringLiteral("server error: requested method not found"));

    QVariant result;
    const QPointer<MaiaXmlRpcServerConnection> alive(this);
    const bool invoked = invokeWithVariants(responseObject, responseSlot, document.arguments(), &result, Qt::AutoConnection);
    if (!alive || !clientConnection)
        return; // the slot destroyed the server, and this connection with it
    if (!invoked)
        return writeFault(-32602, QStringLiteral("server error: invalid method parameters"));

    if (result.userType() == qMetaTypeId<MaiaFault>()) {
        const MaiaFault fault = result.value<MaiaFault>();
        writeResponse(DocumentWriter::fault(fault.code(), fault.message()));
    } else {
        writeResponse(DocumentWriter::response(result));
    }
}

void MaiaXmlRpcServerConnection::writeFault(int code, const QString &message)
{
    writeResponse(DocumentWriter::fault(code, message));
}

void MaiaXmlRpcServerConnection::writeResponse(const QByteArray &content)
{
    QHttpResponseHeader responseHeader(200, QStringLiteral("Ok"));
    responseHeader.setValue(QStringLiteral("Server"), QStringLiteral("MaiaXmlRpc/0.1"));
    responseHeader.setValue(QStringLiteral("Content-Type"), QStringLiteral("text/xml"));
    responseHeader.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
    clientConnection->write(responseHeader.toString().toUtf8() + content);
    clientConnection->disconnectFromHost();
}

bool MaiaXmlRpcServerConnection::invokeWithVariants(QObject *object, const QByteArray &method,
                                                    const QVariantList &args, QVariant *result,
                                                    Qt::ConnectionType type)
{
    if (args.size() > maxArguments)
        return false;

    QList<QByteArray> argTypes;
    for (const QVariant &arg : args)
        argTypes.append(QByteArray(arg.typeName()));

    const QByteArray returnType = findReturnType(object->metaObject(), method, argTypes);
    if (returnType.isEmpty())
        return false; // no slot of that name takes these types
    int returnTypeId = QMetaType::UnknownType;
    if (returnType != "QVariant" && returnType != "void") {
        returnTypeId = QMetaType::type(returnType.constData());
        if (returnTypeId == QMetaType::UnknownType)
            return false;
    }

    QGenericArgument genericArgs[maxArguments];
    for (int i = 0; i < args.size(); ++i)
        genericArgs[i] = QGenericArgument(args.at(i).typeName(), args.at(i).constData());

    // A void slot gets no return argument; a QVariant one writes the holder itself.
    QVariant holder;
    QGenericReturnArgument returnArg;
    if (returnType == "QVariant") {
        returnArg = Q_RETURN_ARG(QVariant, holder);
    } else if (returnTypeId != QMetaType::UnknownType) {
        holder = QVariant(returnTypeId, nullptr);
        returnArg = QGenericReturnArgument(returnType.constData(), holder.data());
    }

    if (!QMetaObject::invokeMethod(object, method.constData(), type, returnArg, genericArgs[0],
                                   genericArgs[1], genericArgs[2], genericArgs[3], genericArgs[4],
                                   genericArgs[5], genericArgs[6], genericArgs[7], genericArgs[8],
                                   genericArgs[9]))
        return false;

    if (holder.isValid() && result)
        *result = holder;
    return true;
}

QByteArray MaiaXmlRpcServerConnection::findReturnType(const QMetaObject *meta, const QByteArray &method,
                                                      QList<QByteArray> argTypes)
{
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod candidate = meta->method(i);
        const QByteArray signature = candidate.methodSignature();
        const int paren = signature.indexOf('(');
        if (paren < 0)
            continue;
        if (signature.left(paren) == method && candidate.parameterTypes() == argTypes)
            return QByteArray(candidate.typeName());
    }
    return QByteArray();
}
