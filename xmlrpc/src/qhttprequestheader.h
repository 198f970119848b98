#ifndef QHTTPREQUESTHEADER_H
#define QHTTPREQUESTHEADER_H

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

// The header block of an incoming HTTP request: its method and fields.
class QHttpRequestHeader
{
public:
    explicit QHttpRequestHeader(const QString &text);
    virtual ~QHttpRequestHeader();

    bool isValid() const;
    QString method() const;
    uint contentLength() const;
    QList<QPair<QString, QString>> values() const;

private:
    QString m_headerText;
    QString m_method;
    QMap<QString, QString> m_values;
};

#endif
