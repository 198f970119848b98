#include "documentreader.h"

#include "documentguard.h"
#include "domvalue.h"

#include <QDateTime>
#include <QDebug>
#include <QDomDocument>
#include <QRegularExpression>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// A scalar's value from its text; false when the text is not one.
using Convert = bool (*)(const QString &, QVariant *);

bool toInt(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toInt(&ok);
    return ok;
}

bool toLongLong(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toLongLong(&ok);
    return ok;
}

bool toDouble(const QString &text, QVariant *value)
{
    bool ok;
    *value = text.toDouble(&ok);
    return ok;
}

bool toBool(const QString &text, QVariant *value)
{
    const QString word = text.trimmed().toLower();
    *value = word == QLatin1String("1") || word == QLatin1String("true");
    return value->toBool() || word == QLatin1String("0") || word == QLatin1String("false");
}

// ISO 8601, basic or extended, a time to the second or finer, and an
// optional zone: "Z" for UTC or an offset; without one, local time.
bool toDateTime(const QString &text, QVariant *value)
{
    static const QRegularExpression form(QStringLiteral(
        R"(^(\d{4})(-?)(\d\d)\2(\d\d)T(\d\d)(:?)(\d\d)\6(\d\d)(?:[.,](\d+))?(?:(Z)|([+-])(\d\d)(?::?(\d\d))?)?$)"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const auto number = [&match](int group) { return match.capturedRef(group).toInt(); };
    const QDate date(number(1), number(3), number(4));
    const QTime time(number(5), number(7), number(8), (match.captured(9) + QLatin1String("00")).left(3).toInt());
    if (!date.isValid() || !time.isValid())
        return false; // QDateTime would take an invalid time for midnight
    QDateTime dateTime(date, time);
    if (match.capturedLength(10)) {
        dateTime = QDateTime(date, time, Qt::UTC);
    } else if (match.capturedLength(11)) {
        if (number(12) > 23 || number(13) > 59)
            return false;
        const int offset = (number(12) * 3600 + number(13) * 60) * (match.captured(11) == QLatin1String("-") ? -1 : 1);
        dateTime = QDateTime(date, time, Qt::OffsetFromUTC, offset);
    }
    *value = dateTime;
    return dateTime.isValid();
}

const std::pair<QLatin1String, Convert> scalarTypes[] = {
    {QLatin1String("string"), [](const QString &text, QVariant *value) { return *value = text, true; }},
    {QLatin1String("i4"), toInt},
    {QLatin1String("int"), toInt},
    {QLatin1String("i8"), toLongLong},
    {QLatin1String("double"), toDouble},
    {QLatin1String("boolean"), toBool},
    {QLatin1String("base64"),
     [](const QString &text, QVariant *value) { return *value = QByteArray::fromBase64(text.toLatin1()), true; }},
    {QLatin1String("datetime"), toDateTime},
    {QLatin1String("datetime.iso8601"), toDateTime},
};

Convert scalarConverter(const QString &type)
{
    for (const auto &scalar : scalarTypes) {
        if (type == scalar.first)
            return scalar.second;
    }
    return nullptr;
}

// The value of a scalar, or nil with the first text that does not convert named in `invalid`.
QVariant converted(Convert convert, const QString &type, const QString &text, QString *invalid)
{
    QVariant value;
    if (convert(text, &value))
        return value;
    if (invalid->isEmpty()) {
        const QString shown = text.size() > 60 ? text.left(60) + QLatin1String("...") : text;
        *invalid = QStringLiteral("%1 value '%2' does not convert").arg(type, shown);
    }
    return QVariant();
}

// What the bytes of a text between tags hold, or-ed together.
enum ByteClass : uchar { NotSpace = 1, NonAscii = 2, Reference = 4, Greater = 8, Control = 16 };

const std::array<uchar, 256> byteClasses = [] {
    std::array<uchar, 256> classes{};
    for (int b = 0; b < 256; ++b) {
        if (b >= 0x80)
            classes[b] = NotSpace | NonAscii;
        else if (b == '&')
            classes[b] = NotSpace | Reference;
        else if (b == '>')
            classes[b] = NotSpace | Greater;
        else if (b < 0x20 && b != '\t' && b != '\n' && b != '\r')
            classes[b] = NotSpace | Control;
        else if (b != ' ' && b != '\t' && b != '\n' && b != '\r')
            classes[b] = NotSpace;
    }
    return classes;
}();

inline bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// QString::fromUtf8 drops a byte order mark that opens its input; inside a
// document's text it is a character like any other.
void appendUtf8(QString &text, const char *from, int size)
{
    for (; size >= 3 && std::memcmp(from, "\xEF\xBB\xBF", 3) == 0; from += 3, size -= 3)
        text += QChar(0xFEFF);
    text += QString::fromUtf8(from, size);
}

struct Token
{
    enum Kind { Start, End, Text, Eof, Unusual };
    Kind kind = Unusual;
    QLatin1String name;
    bool empty = false;        // a start tag that closes itself
    const char *raw = nullptr; // a text's bytes
    int size = 0;
    bool plain = false;        // a text of ASCII without references: its bytes are its characters
    QString decoded;           // a text that is not plain

    QString text() const { return plain ? QString::fromLatin1(raw, size) : decoded; }
    // What an element that closes itself holds: nothing before its end.
    static Token ended()
    {
        Token token;
        token.kind = End;
        return token;
    }
};

// Splits the plain form into tags and texts, checking as it goes what the
// DOM parser would check; anything else makes an Unusual token.
class Scanner
{
public:
    explicit Scanner(const QByteArray &bytes)
        : begin(bytes.constData())
        , p(begin)
        , end(begin + bytes.size())
    {
    }

    Token next();

private:
    bool declaration();
    bool name(QLatin1String *name);
    bool text(const char *from, const char *to, Token *token);
    void skipSpace()
    {
        while (p < end && isXmlSpace(*p))
            ++p;
    }
    bool literal(const char *text)
    {
        const size_t length = std::strlen(text);
        if (size_t(end - p) < length || std::memcmp(p, text, length) != 0)
            return false;
        p += length;
        return true;
    }

    const char *const begin;
    const char *p;
    const char *const end;
    QVarLengthArray<QLatin1String, 64> open;
    bool rootDone = false;
};

Token Scanner::next()
{
    Token token;
    for (;;) {
        if (p == end) {
            token.kind = rootDone ? Token::Eof : Token::Unusual;
            return token;
        }
        if (*p != '<') {
            const char *const from = p;
            const auto *lt = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
            p = lt ? lt : end;
            if (open.isEmpty()) { // outside the root element: white space only
                if (!std::all_of(from, p, isXmlSpace))
                    return token;
                continue;
            }
            if (!text(from, p, &token))
                return Token();
            if (token.kind == Token::Text)
                return token;
            continue; // white space only: the DOM parser drops it
        }
        if (end - p < 2)
            return token;
        if (p[1] == '/') {
            p += 2;
            if (!name(&token.name))
                return token;
            skipSpace();
            if (p == end || *p != '>' || open.isEmpty() || open.last() != token.name)
                return Token();
            ++p;
            open.removeLast();
            rootDone = open.isEmpty();
            token.kind = Token::End;
            return token;
        }
        if (p[1] == '?' && p == begin) {
            if (!declaration())
                return token;
            continue;
        }
        if (p[1] == '?' || p[1] == '!' || rootDone)
            return token;
        ++p;
        if (!name(&token.name))
            return token;
        skipSpace();
        if (p < end && *p == '>') {
            ++p;
        } else if (end - p >= 2 && p[0] == '/' && p[1] == '>') {
            p += 2;
            token.empty = true;
        } else {
            return token; // attributes, or not a tag
        }
        // The guard, on the DOM's way, says why a document is too deep.
        if (open.size() + 1 > DocumentGuard::maxDepth)
            return Token();
        if (token.empty)
            rootDone = open.isEmpty();
        else
            open.append(token.name);
        token.kind = Token::Start;
        return token;
    }
}

// <?xml version="1.0" encoding="..." standalone="..."?>, each quoted either way.
bool Scanner::declaration()
{
    if (!literal("<?xml") || p == end || !isXmlSpace(*p))
        return false;
    const auto attribute = [this](const char *key, bool required, const auto &valueOk) {
        const char *const start = p;
        skipSpace();
        if (p == start || !literal(key)) {
            p = start;
            return !required;
        }
        skipSpace();
        if (!literal("="))
            return false;
        skipSpace();
        if (p == end || (*p != '"' && *p != '\''))
            return false;
        const char quote = *p++;
        const auto *close = static_cast<const char *>(std::memchr(p, quote, size_t(end - p)));
        if (!close || !valueOk(QLatin1String(p, int(close - p))))
            return false;
        p = close + 1;
        return true;
    };
    const bool ok = attribute("version", true, [](QLatin1String v) { return v == QLatin1String("1.0"); })
        && attribute("encoding", false,
                     [](QLatin1String v) {
                         return !v.isEmpty() && std::all_of(v.begin(), v.end(), [](char c) {
                             return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                                 || c == '-' || c == '_' || c == '.';
                         });
                     })
        && attribute("standalone", false,
                     [](QLatin1String v) { return v == QLatin1String("yes") || v == QLatin1String("no"); });
    skipSpace();
    return ok && literal("?>");
}

bool Scanner::name(QLatin1String *name)
{
    const char *const start = p;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (p == end || !letter(*p))
        return false;
    while (p < end && (letter(*p) || (*p >= '0' && *p <= '9') || *p == '.' || *p == '-'))
        ++p;
    *name = QLatin1String(start, int(p - start));
    return true;
}

// A text between tags: a Text token, or no token for white space alone.
bool Scanner::text(const char *from, const char *to, Token *token)
{
    uchar seen = 0;
    for (const char *q = from; q < to; ++q)
        seen |= byteClasses[uchar(*q)];
    if (seen & Control)
        return false;
    if ((seen & Greater) && std::search(from, to, "]]>", "]]>" + 3) != to)
        return false; // the DOM parser's error to report
    if (!(seen & NotSpace))
        return true;
    token->raw = from;
    token->size = int(to - from);
    token->plain = !(seen & (NonAscii | Reference));
    if (!token->plain) {
        QString &decoded = token->decoded;
        decoded.reserve(int(to - from));
        for (const char *q = from; q < to;) {
            const auto *amp = static_cast<const char *>(std::memchr(q, '&', size_t(to - q)));
            const char *const stop = amp ? amp : to;
            appendUtf8(decoded, q, int(stop - q));
            if (!amp)
                break;
            const auto *semicolon = static_cast<const char *>(std::memchr(amp, ';', size_t(qMin<qptrdiff>(to - amp, 12))));
            if (!semicolon)
                return false;
            const QLatin1String reference(amp + 1, int(semicolon - amp - 1));
            static const std::pair<QLatin1String, char> named[] = {
                {QLatin1String("lt"), '<'}, {QLatin1String("gt"), '>'}, {QLatin1String("amp"), '&'},
                {QLatin1String("quot"), '"'}, {QLatin1String("apos"), '\''}};
            const auto found = std::find_if(std::begin(named), std::end(named),
                                            [&](const auto &entry) { return entry.first == reference; });
            if (found != std::end(named)) {
                decoded += QLatin1Char(found->second);
            } else {
                if (!reference.startsWith(QLatin1Char('#')))
                    return false;
                const bool hex = reference.startsWith(QLatin1String("#x"));
                const QLatin1String digits = reference.mid(hex ? 2 : 1);
                bool ok = !digits.isEmpty();
                for (char c : digits)
                    ok = ok && ((c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))));
                const uint code = ok ? QString(digits).toUInt(&ok, hex ? 16 : 10) : 0;
                // Only what every reader reads alike: the DOM parser cuts characters beyond the basic plane.
                if (!ok || !(code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code < 0xD800)
                             || (code >= 0xE000 && code < 0xFFFE)))
                    return false;
                decoded += QChar(ushort(code));
            }
            q = semicolon + 1;
        }
        // The DOM parser reads U+FFFE and U+FFFF as the end of its input.
        for (const QChar c : qAsConst(decoded)) {
            if (c.unicode() >= 0xFFFE)
                return false;
        }
        // It also drops text that QChar counts as space, beyond XML's four.
        if (std::all_of(decoded.cbegin(), decoded.cend(), [](QChar c) { return c.isSpace(); }))
            return true;
    }
    token->kind = Token::Text;
    return true;
}

// Reads values from the tokens as the DOM reading reads them from a tree.
// Where the tree could hold what no token sequence here answers for, it
// fails, and the DOM reads the document instead.
class ValueReader
{
public:
    explicit ValueReader(const QByteArray &bytes)
        : scanner(bytes)
    {
    }

    bool failed = false;
    QStringList unknownTypes;
    QString invalid; // the first scalar that does not convert

    Token take()
    {
        if (failed)
            return Token();
        Token token = scanner.next();
        failed = token.kind == Token::Unusual;
        return token;
    }

    // The rest of the element whose start was taken last.
    void skipRest()
    {
        for (Token token = take(); !failed && token.kind != Token::End; token = take()) {
            if (token.kind == Token::Start)
                skip(token);
        }
    }

    void skip(const Token &start)
    {
        if (!start.empty)
            skipRest();
    }

    bool drainedToEnd()
    {
        while (!failed && take().kind != Token::Eof) {
        }
        return !failed;
    }

    // The text of an element holding text only.
    QString textOf(const Token &start)
    {
        const QString empty = QLatin1String(""); // an element's text is never null
        if (start.empty)
            return empty;
        Token token = take();
        if (token.kind == Token::End)
            return empty;
        failed = failed || token.kind != Token::Text || take().kind != Token::End;
        return token.text();
    }

    // The first child of an element read as a value (the first param of
    // params, the value of a param), the element's end taken too.
    QVariant firstChildValue(const Token &start)
    {
        if (start.empty)
            return QVariant();
        const Token first = take();
        if (first.kind == Token::End)
            return QVariant();
        const QVariant result = first.kind == Token::Start ? value(first) : QVariant();
        skipRest();
        return result;
    }

    QVariant value(const Token &start)
    {
        if (QString(start.name).toLower() != QLatin1String("value")) {
            skip(start);
            return QVariant();
        }
        if (start.empty)
            return QString(QLatin1String(""));
        const Token first = take();
        if (first.kind == Token::Text)
            return textAfter(first);
        if (first.kind != Token::Start)
            return QString(QLatin1String(""));
        const QVariant result = typed(first);
        skipRest(); // only the first child counts
        return result;
    }

private:
    // An untyped value: its text, when nothing follows it.
    QVariant textAfter(const Token &text)
    {
        failed = failed || take().kind != Token::End;
        return text.text();
    }

    QVariant typed(const Token &start)
    {
        const QString type = QString(start.name).toLower();
        if (type == QLatin1String("nil")) {
            skip(start);
            return QVariant();
        }
        if (type == QLatin1String("array"))
            return array(start);
        if (type == QLatin1String("struct"))
            return structure(start);
        if (type == QLatin1String("base64"))
            return base64(start);
        if (const Convert convert = scalarConverter(type)) {
            const QString text = textOf(start);
            return failed ? QVariant() : converted(convert, type, text, &invalid);
        }
        unknownTypes << type;
        skip(start);
        return QVariant();
    }

    // Decoded from the bytes themselves when they are plain: no text copy.
    QVariant base64(const Token &start)
    {
        const QByteArray none = QByteArray::fromBase64(QByteArray());
        if (start.empty)
            return none;
        const Token token = take();
        if (token.kind == Token::End)
            return none;
        failed = failed || token.kind != Token::Text || take().kind != Token::End;
        if (failed)
            return QVariant();
        return QByteArray::fromBase64(token.plain ? QByteArray::fromRawData(token.raw, token.size)
                                                  : token.decoded.toLatin1());
    }

    QVariant array(const Token &start)
    {
        QVariantList list;
        if (start.empty)
            return list;
        const Token data = take();
        if (data.kind == Token::End)
            return list;
        if (data.kind == Token::Start && !data.empty) {
            for (Token item = take(); !failed && item.kind != Token::End; item = take())
                list.append(item.kind == Token::Start ? value(item) : QVariant());
        }
        skipRest(); // a text in place of the data holds no items
        return list;
    }

    QVariant structure(const Token &start)
    {
        QVariantMap map;
        if (start.empty)
            return map;
        for (Token member = take(); !failed && member.kind != Token::End; member = take()) {
            if (member.kind == Token::Text) {
                map.insert(QString(), QVariant());
                continue;
            }
            // The DOM takes the first "name" and "value" below the member:
            // read here only in that order, as siblings.
            const Token name = nextElement(member);
            if (name.kind == Token::End) {
                map.insert(QString(), QVariant());
                continue;
            }
            if (name.name != QLatin1String("name")) {
                failed = true;
                break;
            }
            const QString key = textOf(name);
            const Token value = nextElement(member);
            if (value.kind == Token::End) {
                map.insert(key, QVariant());
                continue;
            }
            if (value.name != QLatin1String("value")) {
                failed = true;
                break;
            }
            map.insert(key, this->value(value));
            skipRest();
        }
        return map;
    }

    // The next element in the member, or the member's end.
    Token nextElement(const Token &member)
    {
        if (member.empty)
            return Token::ended();
        Token token = take();
        while (token.kind == Token::Text)
            token = take();
        return token;
    }

    Scanner scanner;
};

void reportAll(const QStringList &types)
{
    for (const QString &type : types)
        DocumentReader::reportUnknownType(type);
}

QByteArray cutAtNul(QByteArray bytes)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

// The DOM's reading: the guard, then the parser on the decoded text.
DocumentReader::Outcome parseWithDom(QByteArray &body, QDomDocument *document, QString *error, int *errorLine)
{
    QString text = QString::fromUtf8(body);
    body = QByteArray(); // the text holds it all now
    *error = DocumentGuard::refusal(text);
    if (!error->isEmpty())
        return DocumentReader::Refused;
    if (!document->setContent(text, error, errorLine))
        return DocumentReader::NotWellFormed;
    return DocumentReader::Read;
}

// A document holding a scalar whose text does not convert is not XML-RPC:
// nothing of it is handed on, and the error names the value.
template<typename Document> Document refuseInvalid(Document document, const QString &invalid)
{
    if (invalid.isEmpty())
        return document;
    Document refused;
    refused.outcome = DocumentReader::NotXmlRpc;
    refused.error = invalid;
    return refused;
}

} // namespace

MaiaFault DocumentReader::Response::fault() const
{
    switch (outcome) {
    case Read:
        break;
    case Refused:
        return MaiaFault(-32700, QLatin1String("parse error: response refused: ") + error);
    case NotWellFormed:
        return MaiaFault(-32700, QStringLiteral("parse error: response not well formed at line %1: %2")
                                     .arg(QString::number(errorLine), error));
    case NotXmlRpc:
        return MaiaFault(-32600, QLatin1String("parse error: invalid xml-rpc. ")
                                     + (error.isEmpty() ? QStringLiteral("not conforming to spec.") : error));
    }
    return MaiaFault(faultCode, faultString);
}

DocumentReader::Response DocumentReader::readResponse(QByteArray body)
{
    body = cutAtNul(std::move(body));
    Response response;
    const auto setFault = [&response](const QVariantMap &fault) {
        response.isFault = true;
        response.faultCode = fault.value(QStringLiteral("faultCode")).toInt();
        response.faultString = fault.value(QStringLiteral("faultString")).toString();
    };
    {
        ValueReader reader(body);
        const Token root = reader.take();
        const Token first = root.kind == Token::Start && !root.empty ? reader.take() : Token();
        const QString kind = first.kind == Token::Start ? QString(first.name).toLower() : QString();
        response.outcome = Read;
        if (kind == QLatin1String("params")) {
            // The first param's first child; the rest is ignored.
            const Token param = first.empty ? Token() : reader.take();
            if (param.kind == Token::Start)
                response.result = reader.firstChildValue(param);
            if (param.kind != Token::End && !first.empty)
                reader.skipRest();
        } else if (kind == QLatin1String("fault")) {
            setFault(reader.firstChildValue(first).toMap());
        } else {
            response.outcome = NotXmlRpc;
            if (first.kind == Token::Start)
                reader.skip(first);
        }
        if (root.kind == Token::Start && reader.drainedToEnd()) {
            reportAll(reader.unknownTypes);
            return response.outcome == Read ? refuseInvalid(response, reader.invalid) : response;
        }
    }

    response = Response();
    QDomDocument document;
    response.outcome = parseWithDom(body, &document, &response.error, &response.errorLine);
    if (response.outcome != Read)
        return response;
    const QDomElement element = document.documentElement().firstChild().toElement();
    const QString kind = element.tagName().toLower();
    QStringList unknownTypes;
    QString invalid;
    if (kind == QLatin1String("params")) {
        const QDomNode param = element.firstChild();
        if (!param.isNull())
            response.result = DomValue::read(param.firstChild().toElement(), &unknownTypes, &invalid);
    } else if (kind == QLatin1String("fault")) {
        setFault(DomValue::read(element.firstChild().toElement(), &unknownTypes, &invalid).toMap());
    } else {
        response.outcome = NotXmlRpc;
        return response;
    }
    reportAll(unknownTypes);
    return refuseInvalid(response, invalid);
}

DocumentReader::Call DocumentReader::readCall(QByteArray body)
{
    body = cutAtNul(std::move(body));
    Call call;
    {
        ValueReader reader(body);
        const Token root = reader.take();
        bool named = false;
        bool withParams = false;
        for (Token child = root.empty ? Token::ended() : reader.take(); !reader.failed && child.kind != Token::End;
             child = reader.take()) {
            if (child.kind != Token::Start)
                continue;
            if (!named && child.name == QLatin1String("methodName")) {
                named = true;
                call.methodName = reader.textOf(child);
            } else if (!withParams && child.name == QLatin1String("params")) {
                withParams = true;
                // Every node of params is a param; a text one reads as nothing.
                for (Token param = child.empty ? Token::ended() : reader.take(); !reader.failed && param.kind != Token::End;
                     param = reader.take())
                    call.streamed.append(param.kind == Token::Start ? reader.firstChildValue(param) : QVariant());
            } else {
                reader.skip(child);
            }
        }
        if (root.kind == Token::Start && reader.drainedToEnd()) {
            call.outcome = named ? Read : NotXmlRpc;
            call.unknownTypes = reader.unknownTypes;
            return named ? refuseInvalid(call, reader.invalid) : call;
        }
    }

    call = Call();
    QDomDocument document;
    call.outcome = parseWithDom(body, &document, &call.error, nullptr);
    if (call.outcome != Read)
        return call;
    const QDomElement root = document.documentElement();
    const QDomElement methodName = root.firstChildElement(QStringLiteral("methodName"));
    if (methodName.isNull()) {
        call.outcome = NotXmlRpc;
        return call;
    }
    call.methodName = methodName.text();
    QString invalid;
    const QDomElement params = root.firstChildElement(QStringLiteral("params"));
    for (QDomNode param = params.firstChild(); !param.isNull(); param = param.nextSibling())
        call.streamed.append(DomValue::read(param.firstChild().toElement(), &call.unknownTypes, &invalid));
    return refuseInvalid(call, invalid);
}

QVariantList DocumentReader::Call::arguments() const
{
    reportAll(unknownTypes);
    return streamed;
}

bool DocumentReader::readScalar(const QString &type, const QString &text, QVariant *value, QString *invalid)
{
    const Convert convert = scalarConverter(type);
    if (convert)
        *value = converted(convert, type, text, invalid);
    return convert;
}

void DocumentReader::reportUnknownType(const QString &type)
{
    qDebug().nospace() << "Cannot demarshal unknown type " << type;
}
