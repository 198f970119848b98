#include "plainscanner.h"

#include "documentguard.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace {

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

} // namespace

using Token = PlainScanner::Token;

PlainScanner::PlainScanner(const QByteArray &bytes)
    : begin(bytes.constData())
    , p(begin)
    , end(begin + bytes.size())
{
}

void PlainScanner::skipSpace()
{
    while (p < end && isXmlSpace(*p))
        ++p;
}

bool PlainScanner::literal(const char *text)
{
    const size_t length = std::strlen(text);
    if (size_t(end - p) < length || std::memcmp(p, text, length) != 0)
        return false;
    p += length;
    return true;
}

Token PlainScanner::next()
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
bool PlainScanner::declaration()
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

bool PlainScanner::name(QLatin1String *name)
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
bool PlainScanner::text(const char *from, const char *to, Token *token)
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
