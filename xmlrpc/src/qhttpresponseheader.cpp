#include "qhttpresponseheader.h"

QHttpResponseHeader::QHttpResponseHeader(int code, const QString &text)
    : m_statusCode(code)
    , m_reasonText(text)
{
}

QHttpResponseHeader::~QHttpResponseHeader() = default;

void QHttpResponseHeader::setValue(const QString &key, const QString &value)
{
    m_values.insert(key, value);
}

QString QHttpResponseHeader::toString() const
{
    QString text = QStringLiteral("HTTP/1.1 %1 %2\r\n").arg(QString::number(m_statusCode), m_reasonText);
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        text += it.key() + QLatin1String(": ") + it.value() + QLatin1String("\r\n");
    text += QLatin1String("\r\n");
    return text;
}
