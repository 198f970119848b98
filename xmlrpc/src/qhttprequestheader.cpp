#include "qhttprequestheader.h"

#include <QStringList>

QHttpRequestHeader::QHttpRequestHeader(const QString &text)
    : m_headerText(text)
{
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.trimmed().isEmpty())
            break;
        if (i == 0) {
            m_method = line.split(QLatin1Char(' ')).first();
            continue;
        }
        const QStringList pieces = line.split(QLatin1Char(':'));
        if (pieces.size() < 2)
            continue; // not a field line
        m_values.insert(pieces.at(0), pieces.at(1).trimmed());
    }
}

QHttpRequestHeader::~QHttpRequestHeader() = default;

bool QHttpRequestHeader::isValid() const
{
    if (m_headerText.isEmpty())
        return false;
    if (m_method != QLatin1String("GET") && m_method != QLatin1String("POST"))
        return false;
    return m_values.size() > 1;
}

QString QHttpRequestHeader::method() const
{
    return m_method;
}

uint QHttpRequestHeader::contentLength() const
{
    return m_values.value(QStringLiteral("Content-Length")).toUInt(nullptr, 10);
}

QList<QPair<QString, QString>> QHttpRequestHeader::values() const
{
    QList<QPair<QString, QString>> fields;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        fields.append({it.key(), it.value()});
    return fields;
}
