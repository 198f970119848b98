#include "qhttprequestheader.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace {

bool isToken(const QString &text)
{
    static const QRegularExpression token(QStringLiteral("^[!#$%&'*+.^_`|~0-9A-Za-z-]+$"));
    return token.match(text).hasMatch();
}

} // namespace

QHttpRequestHeader::QHttpRequestHeader(const QString &text)
{
    QStringList lines = text.split(QStringLiteral("\r\n"));
    // The block ends with an empty line, which is no field.
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return;
    static const QRegularExpression requestLine(QStringLiteral("^(\\S+) (\\S+) HTTP/(\\d)\\.(\\d)$"));
    const QRegularExpressionMatch match = requestLine.match(lines.constFirst());
    if (!match.hasMatch() || !isToken(match.captured(1)))
        return;
    m_method = match.captured(1);
    m_major = match.captured(3).toInt();
    m_minor = match.captured(4).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const int colon = line.indexOf(QLatin1Char(':'));
        // No name, a blank before the colon, a folded line or a stray line break: refused, not guessed at.
        if (colon < 1 || !isToken(line.left(colon)) || line.contains(QLatin1Char('\n')))
            return;
        m_values.insert(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
        m_fields.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    m_valid = true;
}

QHttpRequestHeader::~QHttpRequestHeader() = default;

bool QHttpRequestHeader::isValid() const
{
    return m_valid;
}

QString QHttpRequestHeader::method() const
{
    return m_method;
}

int QHttpRequestHeader::majorVersion() const
{
    return m_major;
}

int QHttpRequestHeader::minorVersion() const
{
    return m_minor;
}

bool QHttpRequestHeader::hasKey(const QString &name) const
{
    return m_values.contains(name.toLower());
}

QString QHttpRequestHeader::value(const QString &name) const
{
    QStringList values = m_values.values(name.toLower());
    std::reverse(values.begin(), values.end()); // QMultiHash gives the latest first
    return values.join(QLatin1String(", "));
}

bool QHttpRequestHeader::hasContentLength() const
{
    static const QRegularExpression digits(QStringLiteral("^\\d{1,18}$"));
    const QStringList values = m_values.values(QStringLiteral("content-length"));
    return values.size() == 1 && digits.match(values.constFirst()).hasMatch();
}

qint64 QHttpRequestHeader::contentLength() const
{
    return hasContentLength() ? m_values.value(QStringLiteral("content-length")).toLongLong() : 0;
}

bool QHttpRequestHeader::listsToken(const QString &name, const QString &token) const
{
    const QStringList items = value(name).split(QLatin1Char(','));
    for (const QString &item : items) {
        const QStringList parts = item.split(QLatin1Char(';'));
        if (parts.constFirst().trimmed().compare(token, Qt::CaseInsensitive) != 0)
            continue;
        const QString weight = parts.value(1).trimmed();
        const bool refused = weight.startsWith(QLatin1String("q=")) && weight.mid(2).toDouble() == 0;
        return !refused;
    }
    return false;
}

QList<QPair<QString, QString>> QHttpRequestHeader::values() const
{
    return m_fields;
}
