#include "documentguard.h"

#include <QXmlStreamReader>

namespace {

// False when the reader could only let the document pass: every start tag
// takes a '<', and a document type declaration is spelt out literally. Big
// single values, the common large document, then skip the reader's copies.
bool mayBeRefused(const QString &document)
{
    int tags = 0;
    for (int at = document.indexOf(QLatin1Char('<')); at >= 0; at = document.indexOf(QLatin1Char('<'), at + 1)) {
        if (++tags > DocumentGuard::maxDepth || document.midRef(at + 1, 8) == QLatin1String("!DOCTYPE"))
            return true;
    }
    return false;
}

} // namespace

QString DocumentGuard::decodeUpToNul(QByteArray bytes)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

QString DocumentGuard::refusal(const QString &document)
{
    if (!mayBeRefused(document))
        return QString();
    QXmlStreamReader reader(document);
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > maxDepth)
                return QStringLiteral("elements nested deeper than %1 levels").arg(maxDepth);
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::DTD:
            return QStringLiteral("a document type declaration is not accepted");
        default:
            break;
        }
    }
    // Anything else malformed is left to the DOM parser, which says where.
    return QString();
}
