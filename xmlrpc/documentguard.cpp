#include "documentguard.h"

#include <QXmlStreamReader>

QString DocumentGuard::refusal(const QString &document)
{
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
