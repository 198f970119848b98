#ifndef QHTTPREQUESTHEADER_H
#define QHTTPREQUESTHEADER_H

#include <QList>
#include <QMultiHash>
#include <QPair>
#include <QString>

// The header block of an incoming HTTP request: its request line and fields,
// whose names match in any case.
class QHttpRequestHeader
{
public:
    explicit QHttpRequestHeader(const QString &text);
    virtual ~QHttpRequestHeader();

    // The request line has a method, a target and an HTTP/d.d version, and every field line a name.
    bool isValid() const;
    QString method() const;
    int majorVersion() const;
    int minorVersion() const;

    bool hasKey(const QString &name) const;
    // A field given more than once: its values joined by ", ", in order.
    QString value(const QString &name) const;
    // Whether one Content-Length field holds a plain decimal number.
    bool hasContentLength() const;
    qint64 contentLength() const;
    // Whether a comma-separated field lists a token (any case; "gzip;q=0" does not list gzip).
    bool listsToken(const QString &name, const QString &token) const;
    // Every field as it came, in order.
    QList<QPair<QString, QString>> values() const;

private:
    bool m_valid = false;
    QString m_method;
    int m_major = 0;
    int m_minor = 0;
    QMultiHash<QString, QString> m_values; // names in lower case
    QList<QPair<QString, QString>> m_fields;
};

#endif
