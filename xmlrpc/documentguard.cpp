#include "documentguard.h"

#include <QXmlStreamReader>

namespace {

// False when the reader could only let the document pass: every start tag
// takes a '<', and a document type declaration is spelt out literally.
bool mayBeRefused(const QString &document)
{
    int tags = 0;
    for (int at = document.indexOf(QLatin1Char('<')); at >= 0; at = document.indexOf(QLatin1Char('<'), at + 1)) {
        if (++tags > DocumentGuard::maxDepth || document.midRef(at + 1, 8) == QLatin1String("!DOCTYPE"))
            return true;
    }
    return false;
}

// A character a text may be cut before or after: nothing the reader looks
// past (']', '&', a carriage return) nor half of a surrogate pair.
bool plain(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
        || (u >= 0x80 && !c.isSurrogate() && u < 0xfffe);
}

bool inReferenceName(QChar c)
{
    return plain(c) || c == QLatin1Char('#') || c == QLatin1Char('.') || c == QLatin1Char('-')
        || c == QLatin1Char('_') || c == QLatin1Char(':');
}

// Where the run of reference-name characters ending before `cut` starts,
// looking no further back than `low`.
int nameStart(const QString &document, int low, int cut)
{
    int start = cut;
    while (start > low && inReferenceName(document.at(start - 1)))
        --start;
    return start;
}

// The last place in (low, high] where a text from `low` may be cut: between
// plain characters and outside "&name;" and "&#n;". -1 when there is none.
int lastTextCut(const QString &document, int low, int high)
{
    for (int cut = high; cut > low; --cut) {
        if (!plain(document.at(cut - 1)) || !plain(document.at(cut)))
            continue;
        const int start = nameStart(document, low, cut);
        if (start == low || document.at(start - 1) != QLatin1Char('&'))
            return cut;
        cut = start; // inside a reference: go on before it
    }
    return -1;
}

// The first such place in [from, end), for a text starting at `low`.
int firstTextCut(const QString &document, int low, int from, int end)
{
    for (int cut = qMax(from, low + 1); cut < end; ++cut) {
        if (!plain(document.at(cut - 1)) || !plain(document.at(cut)))
            continue;
        const int start = nameStart(document, low, cut);
        if (start == low || document.at(start - 1) != QLatin1Char('&'))
            return cut;
        while (cut < end && inReferenceName(document.at(cut))) // past the reference
            ++cut;
    }
    return -1;
}

// Index past the '>' ending the markup that starts at `at`, or -1 when it
// has no end or is a declaration, which is never cut after.
int markupEnd(const QString &document, int at)
{
    const auto closedBy = [&](int from, QLatin1String end) {
        const int found = document.indexOf(end, from);
        return found < 0 ? -1 : found + end.size();
    };
    const QStringRef rest = document.midRef(at);
    if (rest.startsWith(QLatin1String("<!--")))
        return closedBy(at + 4, QLatin1String("-->"));
    if (rest.startsWith(QLatin1String("<![CDATA[")))
        return closedBy(at + 9, QLatin1String("]]>"));
    if (rest.startsWith(QLatin1String("<?")))
        return closedBy(at + 2, QLatin1String("?>"));
    if (rest.startsWith(QLatin1String("<!")))
        return -1;
    for (int i = at + 1; i < document.size(); ++i) {
        const QChar c = document.at(i);
        if (c == QLatin1Char('>'))
            return i + 1;
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            i = document.indexOf(c, i + 1);
            if (i < 0)
                return -1;
        }
    }
    return -1;
}

// End of the piece that starts at `from`, itself an end of markup or a cut
// in a text: about DocumentGuard::scanPiece characters, longer only where
// a markup or a text without plain characters spans them. Inside markup a
// resumed reader scans it again from its start, or misses a "]]>".
int pieceEnd(const QString &document, int from)
{
    const int size = document.size();
    const int limit = from + DocumentGuard::scanPiece;
    if (limit >= size)
        return size;
    int lastEnd = -1;
    for (int at = from; at < size;) {
        const int open = document.indexOf(QLatin1Char('<'), at);
        const int textEnd = open < 0 ? size : open;
        if (textEnd > limit) {
            int cut = lastTextCut(document, at, limit);
            if (cut < 0 && lastEnd > from)
                return lastEnd;
            if (cut < 0)
                cut = firstTextCut(document, at, limit, textEnd);
            if (cut > 0)
                return cut;
        }
        if (open < 0)
            return size;
        const int end = markupEnd(document, open);
        if (end < 0)
            return size;
        if (end > limit && lastEnd > from)
            return lastEnd;
        lastEnd = end;
        if (end >= limit)
            return end;
        at = end;
    }
    return size;
}

} // namespace

QString DocumentGuard::refusal(const QString &document)
{
    if (!mayBeRefused(document))
        return QString();

    // Built on the first piece rather than empty, the reader decodes UTF-8
    // as it would for the whole text, instead of guessing from the bytes.
    int fed = pieceEnd(document, 0);
    QXmlStreamReader reader(document.left(fed));
    int depth = 0;
    // Once past the prolog. A reader resumed after running out of data no
    // longer checks where a token may stand, so this check is made here: a
    // reader given the whole text stops at such a token without refusing.
    bool inBody = false;
    for (;;) {
        if (reader.atEnd()) {
            if (reader.error() != QXmlStreamReader::PrematureEndOfDocumentError || fed == document.size())
                break;
            const int end = pieceEnd(document, fed);
            reader.addData(document.mid(fed, end - fed));
            fed = end;
        }
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument:
            if (inBody)
                return QString();
            break;
        case QXmlStreamReader::StartElement:
            inBody = true;
            if (++depth > maxDepth)
                return QStringLiteral("elements nested deeper than %1 levels").arg(maxDepth);
            break;
        case QXmlStreamReader::EndElement:
            inBody = true;
            --depth;
            break;
        case QXmlStreamReader::DTD:
            if (inBody)
                return QString();
            return QStringLiteral("a document type declaration is not accepted");
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::EndDocument:
            inBody = true;
            break;
        default:
            break;
        }
    }
    // Anything else malformed is left to the DOM parser, which says where.
    return QString();
}
