#ifndef MAIAOBJECT_H
#define MAIAOBJECT_H

#include <QDomDocument>
#include <QDomElement>
#include <QList>
#include <QObject>
#include <QVariant>

class QNetworkReply;

// Converts between QVariant values and XML-RPC "value" elements, renders
// call and response documents, and, as a per-call object, turns one
// response text into exactly one outcome signal before deleting itself.
class MaiaObject : public QObject
{
    Q_OBJECT
public:
    explicit MaiaObject(QObject *parent = nullptr);

    static QDomElement toXml(QVariant arg);
    // Same as toXml(arg), but builds the element in the given document.
    static QDomElement toXml(const QVariant &arg, QDomDocument &document);
    static QVariant fromXml(const QDomElement &value);

    QString composeCall(QString method, QList<QVariant> args);
    static QString composeResponse(QVariant arg);

public slots:
    void parseResponse(QString response, QNetworkReply *reply);
    // The received bytes: UTF-8 up to the first NUL, as the transport has them.
    void parseResponse(QByteArray body, QNetworkReply *reply);

signals:
    void aresponse(QVariant &, QNetworkReply *reply);
    void fault(int, const QString &, QNetworkReply *reply);
};

#endif
