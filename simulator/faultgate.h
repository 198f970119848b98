#ifndef FAULTGATE_H
#define FAULTGATE_H

#include <QHash>
#include <QTcpServer>
#include <QVariant>

#include <optional>

class CallLog;
class QTcpSocket;

// The simulator's front door: reads each HTTP request whole, and either
// passes it to the XML-RPC server behind it or fails it the way it was
// told to (a status, a fault, a dropped connection, an HTTP error, a
// broken document, a reply lost after the call took effect, a stall):
// failures a real service shows only by chance.
class FaultGate : public QTcpServer
{
    Q_OBJECT
public:
    // ReplyLost: the service acts on the call, then the connection closes unanswered;
    // Stall: the request is taken and never answered.
    enum class FaultKind { Status, XmlRpcFault, DropConnection, HttpError, MalformedXml, Reply, ReplyLost, Stall };
    struct InjectedFault {
        InjectedFault(FaultKind kind = FaultKind::Status, int code = 500, const QString &text = QString(),
                      const QVariantMap &reply = QVariantMap(), int after = 0)
            : kind(kind), code(code), text(text), reply(reply), after(after)
        {
        }
        FaultKind kind;
        int code;           // status, fault code or HTTP status
        QString text;       // statusMessage, fault string or HTTP body
        QVariantMap reply;  // for Reply: the whole answer, as it stands
        int after;          // calls of the method to let through first
    };

    // Failed calls are recorded in `log`.
    explicit FaultGate(CallLog *log, QObject *parent = nullptr);

    // The XML-RPC server's port, where calls that pass go.
    void setBackendPort(quint16 port) { backendPort = port; }
    // The next `count` calls of `method` fail as described.
    void injectFault(const QString &method, const InjectedFault &fault, int count = 1);
    static std::optional<FaultKind> faultKindFromName(const QString &name);

private slots:
    void acceptConnections();

private:
    std::optional<InjectedFault> takeInjectedFault(const QString &method);
    void readRequest(QTcpSocket *client);
    void dispatch(QTcpSocket *client, const QByteArray &request, const QByteArray &body);
    // `answered`: false loses the service's answer and closes the connection.
    void forward(QTcpSocket *client, const QByteArray &request, bool answered = true);

    CallLog *log;
    quint16 backendPort = 0;
    QHash<QString, QList<InjectedFault>> injected;
    QHash<QTcpSocket *, QByteArray> partial; // what came of each request not yet whole
};

#endif
