#ifndef SCRIPTEDHTTPSERVER_H
#define SCRIPTEDHTTPSERVER_H

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// A loopback HTTP server that records each request and answers it with
// scripted bytes, at once or when the test says so.
class ScriptedHttpServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Request {
        QByteArray head; // request line and fields, up to the empty line
        QByteArray body;
        QPointer<QTcpSocket> socket;
    };

    explicit ScriptedHttpServer(QObject *parent = nullptr);

    QUrl url(const QString &path = QStringLiteral("/RPC2")) const
    { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path)); }

    // Answers given in arrival order; when empty, requests wait for answer().
    QList<QByteArray> automaticAnswers;
    QList<Request> requests;
    // After an answer, reset the connection (RST) instead of closing it.
    bool resetAfterAnswer = false;

    void answer(int index, const QByteArray &bytes);

    static QByteArray httpAnswer(const QByteArray &body, int status = 200, const QByteArray &reason = "OK");

signals:
    void requestReceived(int index);

private slots:
    void readRequest();
};

#endif
