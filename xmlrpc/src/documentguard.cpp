#include "documentguard.h"

// Hand-written rather than QXmlStreamReader: the stream reader stops at
// errors the DOM parser reads past (undeclared prefixes and entities), and
// whatever followed them reached the DOM parser unchecked. This scanner
// follows the DOM parser's reading of markup on any document it accepts, so
// it never counts fewer levels than the tree gets; on malformed input it
// may count more, where the DOM parser would stop at the first error anyway.

namespace {

enum Scan { Accepted, TooDeep, DocumentType };

// Where `end` starts at or after `from`, or -1 when the construct never ends.
int find(const QString &document, const char *end, int from)
{
    return document.indexOf(QLatin1String(end), from);
}

// An unterminated construct ends the scan: the DOM parser reads nothing after it.
Scan scan(const QString &document)
{
    const int size = document.size();
    int depth = 0;
    for (int at = document.indexOf(QLatin1Char('<')); at >= 0; at = document.indexOf(QLatin1Char('<'), at)) {
        const QStringRef rest = document.midRef(at + 1, 8);
        int next;
        if (rest.startsWith(QLatin1String("!--"))) {
            // The DOM parser ends "<!-->" at a later "-->", not one overlapping the opening.
            next = find(document, "-->", at + 4);
            if (next < 0)
                return Accepted;
            at = next + 3;
        } else if (rest == QLatin1String("![CDATA[")) {
            next = find(document, "]]>", at + 9);
            if (next < 0)
                return Accepted;
            at = next + 3;
        } else if (rest.startsWith(QLatin1Char('!'))) {
            return DocumentType; // DOCTYPE in any case, ENTITY, or nothing well formed
        } else if (rest.startsWith(QLatin1Char('?'))) {
            // The XML declaration may quote "?>" in a value and still end later,
            // but its values hold no '<', so what follows reads the same.
            next = find(document, "?>", at + 2);
            if (next < 0)
                return Accepted;
            at = next + 2;
        } else if (rest.startsWith(QLatin1Char('/'))) {
            next = document.indexOf(QLatin1Char('>'), at + 2);
            if (next < 0)
                return Accepted;
            depth = qMax(0, depth - 1);
            at = next + 1;
        } else {
            // Even an empty or unfinished element is a level: the DOM parser
            // adds it to the tree before it reads the tag's end.
            if (depth + 1 > DocumentGuard::maxDepth)
                return TooDeep;
            // A start tag ends at the first '>' outside quoted attribute values.
            int end = at + 1;
            for (; end < size; ++end) {
                const QChar c = document.at(end);
                if (c == QLatin1Char('>'))
                    break;
                if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                    end = document.indexOf(c, end + 1);
                    if (end < 0)
                        return Accepted;
                }
            }
            if (end >= size)
                return Accepted;
            if (document.at(end - 1) != QLatin1Char('/'))
                ++depth;
            at = end + 1;
        }
    }
    return Accepted;
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
    switch (scan(document)) {
    case TooDeep:
        return QStringLiteral("elements nested deeper than %1 levels").arg(maxDepth);
    case DocumentType:
        return QStringLiteral("a document type declaration is not accepted");
    case Accepted:
        break;
    }
    // Anything else malformed is left to the DOM parser, which says where.
    return QString();
}
