#ifndef QHTTPREQUESTHEADER_H
#define QHTTPREQUESTHEADER_H

#include <QMap>
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

private:
    QString m_headerText;
    QString m_method;
    QMap<QString, QString> m_values;
};

#endif
