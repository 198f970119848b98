#ifndef QHTTPRESPONSEHEADER_H
#define QHTTPRESPONSEHEADER_H

#include <QMap>
#include <QString>

// The header block of an HTTP answer: status line and fields in key order.
class QHttpResponseHeader
{
public:
    QHttpResponseHeader(int code, const QString &text);
    virtual ~QHttpResponseHeader();

    void setValue(const QString &key, const QString &value);
    virtual QString toString() const;

private:
    int m_statusCode;
    QString m_reasonText;
    QMap<QString, QString> m_values;
};

#endif
