#include "documentwriter.h"

#include <QDateTime>
#include <QDebug>
#include <QLocale>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const char declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// Text that is copied as it stands: no markup, nothing XML forbids, no surrogate.
inline bool isPlain(ushort c)
{
    return (c >= 0x20 && c < 0xD800 && c != '<' && c != '&' && c != '>') || (c >= 0xE000 && c < 0xFFFE);
}

// What an ASCII unit becomes in a text: itself, a reference, or nothing
// when XML forbids it. Eight bytes, so that one copy writes any of them.
struct Escape
{
    char bytes[8];
    int length;
};

const std::array<Escape, 0x80> asciiEscapes = [] {
    std::array<Escape, 0x80> escapes{};
    const auto set = [&escapes](int c, const char *text) {
        escapes[c].length = int(std::strlen(text));
        std::memcpy(escapes[c].bytes, text, size_t(escapes[c].length));
    };
    for (int c = 0; c < 0x80; ++c) {
        if (c >= 0x20 || c == '\t' || c == '\n') {
            escapes[c].bytes[0] = char(c);
            escapes[c].length = 1;
        }
    }
    set('<', "&lt;");
    set('&', "&amp;");
    set('\r', "&#xd;");
    return escapes;
}();

void putUtf8(char *&to, uint c)
{
    if (c < 0x800) {
        *to++ = char(0xC0 | c >> 6);
        *to++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *to++ = char(0xE0 | c >> 12);
        *to++ = char(0x80 | (c >> 6 & 0x3F));
        *to++ = char(0x80 | (c & 0x3F));
    } else {
        *to++ = char(0xF0 | c >> 18);
        *to++ = char(0x80 | (c >> 12 & 0x3F));
        *to++ = char(0x80 | (c >> 6 & 0x3F));
        *to++ = char(0x80 | (c & 0x3F));
    }
}

inline void putAscii(char *&to, ushort c)
{
    const Escape &escape = asciiEscapes[c];
    std::memcpy(to, escape.bytes, sizeof escape.bytes);
    to += escape.length;
}

// One character at `p`, two units for a surrogate pair; `text` is where the
// text's bytes begin, for QDom's "]]>" rule.
void escapeOne(const ushort *&p, const ushort *end, char *&to, const char *text)
{
    const ushort c = *p++;
    if (c < 0x80) {
        if (c == '>' && to - text >= 2 && to[-1] == ']' && to[-2] == ']') {
            std::memcpy(to, "&gt;", 4);
            to += 4;
        } else {
            putAscii(to, c);
        }
    } else if (c < 0xD800 || (c >= 0xE000 && c < 0xFFFE)) {
        putUtf8(to, c);
    } else if (QChar::isHighSurrogate(c) && p < end && QChar::isLowSurrogate(*p)) {
        putUtf8(to, QChar::surrogateToUcs4(c, *p++));
    }
    // Anything else is half a pair, U+FFFE or U+FFFF: XML forbids them.
}

} // namespace

DocumentWriter::DocumentWriter(const char *root)
    : root(root)
{
    reserve(512);
    latin1(declaration);
    open(root, 0);
}

QByteArray DocumentWriter::call(const QString &method, const QVariantList &args)
{
    DocumentWriter writer("methodCall");
    writer.textElement("methodName", method, 1);
    if (args.isEmpty()) {
        writer.empty("params", 1);
    } else {
        writer.open("params", 1);
        for (const QVariant &arg : args)
            writer.writeParam(arg);
        writer.close("params", 1);
    }
    return writer.finish();
}

QByteArray DocumentWriter::response(const QVariant &result)
{
    DocumentWriter writer("methodResponse");
    if (result.isNull()) {
        writer.empty("params", 1);
    } else {
        writer.open("params", 1);
        writer.writeParam(result);
        writer.close("params", 1);
    }
    return writer.finish();
}

QByteArray DocumentWriter::fault(int code, const QString &message)
{
    DocumentWriter writer("methodResponse");
    writer.open("fault", 1);
    writer.writeValue(QVariantMap{{QStringLiteral("faultCode"), code}, {QStringLiteral("faultString"), message}}, 2);
    writer.close("fault", 1);
    return writer.finish();
}

const char *DocumentWriter::scalar(const QVariant &value, QString *text)
{
    switch (value.type()) {
    case QVariant::Bool:
        *text = value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
        return "boolean";
    case QVariant::Int:
        *text = QString::number(value.toInt());
        return "int";
    case QVariant::LongLong:
    case QVariant::ULongLong:
        *text = QString::number(value.toLongLong());
        return "i8";
    case QVariant::Double: {
        // The fewest digits that read back to the same bits; Qt drops the sign of zero.
        const double number = value.toDouble();
        *text = number == 0 && std::signbit(number) ? QStringLiteral("-0")
                                                    : QString::number(number, 'g', QLocale::FloatingPointShortest);
        return "double";
    }
    case QVariant::String:
        *text = value.toString();
        return "string";
    case QVariant::ByteArray:
        *text = QString::fromLatin1(value.toByteArray().toBase64());
        return "base64";
    case QVariant::DateTime:
        *text = wireDateTime(value.toDateTime()).toString(QLatin1String(dateTimeFormat));
        return "dateTime.iso8601";
    default:
        return nullptr;
    }
}

QDateTime DocumentWriter::wireDateTime(const QDateTime &dateTime)
{
    return dateTime.timeSpec() == Qt::LocalTime ? dateTime : dateTime.toUTC();
}

bool DocumentWriter::isNil(const QVariant &value)
{
    return !value.isValid() || (value.type() == QVariant::DateTime && !value.toDateTime().isValid());
}

bool DocumentWriter::isWritable(const QVariant &value)
{
    switch (value.type()) {
    case QVariant::Invalid:
    case QVariant::Bool:
    case QVariant::Int:
    case QVariant::LongLong:
    case QVariant::String:
    case QVariant::ByteArray:
    case QVariant::Map:
    case QVariant::List:
        return true;
    case QVariant::ULongLong:
    case QVariant::Double:
    case QVariant::DateTime:
        break;
    default:
        qDebug().nospace() << "Failed to marshal unknown variant type: " << value.type();
        return false;
    }
    // An i8 holds no more than 63 bits, no peer reads a non-finite double, and
    // a date-time has four digits of year.
    const int year = wireDateTime(value.toDateTime()).date().year();
    if ((value.type() == QVariant::ULongLong && value.toULongLong() <= quint64(std::numeric_limits<qint64>::max()))
        || (value.type() == QVariant::Double && std::isfinite(value.toDouble()))
        || (value.type() == QVariant::DateTime && (isNil(value) || (year >= 1 && year <= 9999))))
        return true;
    qDebug().nospace() << "Failed to marshal a value out of range: " << value;
    return false;
}

void DocumentWriter::writeParam(const QVariant &value)
{
    if (isWritable(value)) {
        open("param", 2);
        writeValue(value, 3);
        close("param", 2);
    } else {
        empty("param", 2);
    }
}

// Only called for writable values: an unwritable one leaves no element at all.
void DocumentWriter::writeValue(const QVariant &value, int depth)
{
    open("value", depth);
    const int inner = depth + 1;
    QString text;
    if (isNil(value)) {
        empty("nil", inner);
    } else if (const char *tag = scalar(value, &text)) {
        textElement(tag, text, inner);
    } else if (value.type() == QVariant::Map) {
        const QVariantMap map = value.toMap();
        if (map.isEmpty()) {
            empty("struct", inner);
        } else {
            open("struct", inner);
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                open("member", inner + 1);
                textElement("name", it.key(), inner + 2);
                if (isWritable(it.value()))
                    writeValue(it.value(), inner + 2);
                close("member", inner + 1);
            }
            close("struct", inner);
        }
    } else {
        const QVariantList list = value.toList();
        QVariantList items;
        items.reserve(list.size());
        for (const QVariant &item : list) {
            if (isWritable(item))
                items.append(item);
        }
        open("array", inner);
        if (items.isEmpty()) {
            empty("data", inner + 1);
        } else {
            open("data", inner + 1);
            for (const QVariant &item : qAsConst(items))
                writeValue(item, inner + 2);
            close("data", inner + 1);
        }
        close("array", inner);
    }
    close("value", depth);
}

void DocumentWriter::open(const char *tag, int depth)
{
    indent(depth);
    latin1("<");
    latin1(tag);
    latin1(">\n");
}

void DocumentWriter::close(const char *tag, int depth)
{
    indent(depth);
    latin1("</");
    latin1(tag);
    latin1(">\n");
}

void DocumentWriter::empty(const char *tag, int depth)
{
    indent(depth);
    latin1("<");
    latin1(tag);
    latin1("/>\n");
}

void DocumentWriter::textElement(const char *tag, const QString &text, int depth)
{
    indent(depth);
    latin1("<");
    latin1(tag);
    latin1(">");
    escaped(text);
    latin1("</");
    latin1(tag);
    latin1(">\n");
}

// As QDom writes a text node: '<', '&' and CR as references, '>' only after
// "]]" of the same text, and the characters XML forbids left out.
void DocumentWriter::escaped(const QString &text)
{
    const ushort *p = text.utf16();
    const ushort *const end = p + text.size();
    reserve(text.size());
    const qptrdiff start = cursor - begin;
    constexpr int chunk = 4096;
    constexpr int widest = 5; // "&amp;" and "&#xd;" for one unit
    while (p < end) {
        const ushort *const chunkEnd = p + qMin<qptrdiff>(chunk, end - p);
        // Room for the widest units, a pair straddling the chunk's end, and a whole Escape copy.
        reserve(int(chunkEnd - p) * widest + int(sizeof(Escape::bytes)));
        char *to = cursor;
#if defined(__SSE2__)
        // Eight units at a time: copied when plain, expanded through the
        // table when ASCII, one by one otherwise. The lanes compare signed:
        // units from 0x8000 up are negative.
        const __m128i space = _mm_set1_epi16(0x20), del = _mm_set1_epi16(0x7F);
        const __m128i lt = _mm_set1_epi16('<'), amp = _mm_set1_epi16('&'), gt = _mm_set1_epi16('>');
        while (chunkEnd - p >= 8) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i wide = _mm_or_si128(_mm_cmpgt_epi16(units, del), _mm_cmplt_epi16(units, _mm_setzero_si128()));
            const __m128i low = _mm_cmplt_epi16(units, space);
            const __m128i markup = _mm_or_si128(_mm_cmpeq_epi16(units, lt), _mm_cmpeq_epi16(units, amp));
            if (!_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(wide, low), _mm_or_si128(markup, _mm_cmpeq_epi16(units, gt))))) {
                _mm_storel_epi64(reinterpret_cast<__m128i *>(to), _mm_packus_epi16(units, units));
                to += 8;
                p += 8;
            } else if (!_mm_movemask_epi8(_mm_or_si128(wide, _mm_cmpeq_epi16(units, gt)))) {
                for (int i = 0; i < 8; ++i)
                    putAscii(to, p[i]);
                p += 8;
            } else {
                for (const ushort *const stop = p + 8; p < stop;)
                    escapeOne(p, end, to, begin + start);
            }
        }
#endif
        while (p < chunkEnd)
            escapeOne(p, end, to, begin + start);
        cursor = to;
    }
}

void DocumentWriter::latin1(const char *text, int length)
{
    reserve(length);
    std::memcpy(cursor, text, size_t(length));
    cursor += length;
}

void DocumentWriter::latin1(const char *text)
{
    latin1(text, int(std::strlen(text)));
}

void DocumentWriter::indent(int depth)
{
    reserve(depth);
    for (int i = 0; i < depth; ++i)
        *cursor++ = ' ';
}

void DocumentWriter::reserve(int bytes)
{
    if (limit - cursor >= bytes)
        return;
    const int used = int(cursor - begin);
    out.resize(qMax(2 * out.size(), used + bytes));
    begin = out.data();
    cursor = begin + used;
    limit = begin + out.size();
}

QByteArray DocumentWriter::finish()
{
    close(root, 0);
    out.resize(int(cursor - begin));
    begin = cursor = limit = nullptr;
    return std::move(out);
}
