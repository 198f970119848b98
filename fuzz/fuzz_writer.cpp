// A value tree read from the input, written by DocumentWriter as a call, a
// response or a fault (byte 0 picks, to spend each run on one): each must be
// well-formed and read back as the tree transformed as the writer promises,
// derived here on its own, not with the writer's helpers.
#include "describevalue.h"
#include "documentreader.h"
#include "documentwriter.h"

#include <QDateTime>
#include <QXmlStreamReader>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t *at, *end; // the tree's bytes, zeros past the end
int nodes;
uint byte() { return at < end ? *at++ : 0; }
quint64 bits(int bytes) { return bytes ? byte() | bits(bytes - 1) << 8 : 0; }

// What XML escapes or forbids, alone and in runs; repeats reach past 8-unit blocks and 4096-unit chunks.
QString text()
{
    static const QStringList pieces = QString::fromUtf16(
        u"&|<|>|]]>|]]|]|\r|\r\n|\n|\t| |\"'|&lt;|\u0085|\u00a0|\u00e9|\u2028|\u3000|\ufeff|\ufffe|\uffff").split('|');
    QString text = byte() % 8 ? QLatin1String("") : QString();
    for (int n = byte() % 12; n > 0; --n) {
        switch (byte() % 6) {
        case 0: case 1: text += pieces.at(byte() % pieces.size()); break;
        case 2: text += QChar(byte() % 0x20); break;
        case 3: text += QChar(ushort(bits(2))); break; // lone surrogates among them
        case 4: text += QChar(ushort(0xD800 + bits(2) % 0x400)), text += QChar(ushort(0xDC00 + bits(2) % 0x400)); break;
        default: text = text.repeated(1 + byte() % 64 * (text.size() < 100));
        }
    }
    return text;
}

QVariant value(int depth)
{
    const quint64 b = bits(8);
    double d;
    std::memcpy(&d, &b, sizeof d); // NaN, infinities and subnormals among them
    QVariantList list;
    QVariantMap map;
    switch (byte() % (depth >= 12 || ++nodes >= 200 ? 7 : 9)) {
    case 0: // 64-bit integers past an i8's range among them
        return QVariantList{int(b >> 2), bool(b & 4), qlonglong(b >> 2), qulonglong(b >> 1) << 1}.value(int(b % 4));
    case 1: return b % 2 ? d : double(qint64(b % 20000000) - 10000000) / (1 << (b >> 60)); // short decimals
    case 2: case 3: return text();
    case 4: return QByteArray(int(b % 40), char(b >> 8)) + text().toUtf8();
    case 5: { // a day past the month's end, or 1000 ms and more, are invalid; a zone may pass a year's edge
        const QDate date(1 + b % 9999, 1 + b / 9999 % 12, 1 + b / 999 % 31);
        const QTime time(byte() % 24, byte() % 60, byte() % 60, b >> 50 & 1023);
        const uint zone = byte() % 3;
        return zone == 0 ? QDateTime(date, time)
            : zone == 1  ? QDateTime(date, time, Qt::UTC)
                         : QDateTime(date, time, Qt::OffsetFromUTC, int(bits(2) % 100801) - 50400);
    }
    case 6: // nil, and types no value element holds
        return QVariantList{QVariant(), 2u, 3.0f, QDate(1, 1, 1), QStringList(), QChar()}.value(b % 6);
    case 7: for (int n = byte() % 6; n > 0; --n) list << value(depth + 1); return list;
    default: for (int n = byte() % 6; n > 0; --n) map.insert(text(), value(depth + 1)); return map;
    }
}

// A text as read: without what XML forbids (valid pairs stay), and empty when white space alone.
QString written(const QString &text)
{
    QString kept = QLatin1String("");
    bool blank = true;
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            kept += text.mid(i++, 2), blank = false;
        else if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0xD800) || (c >= 0xE000 && c < 0xFFFE))
            kept += QChar(c), blank = blank && QChar::isSpace(c);
    }
    return blank ? QLatin1String("") : kept;
}

// What no element holds: another type, a double not finite, an unsigned past
// 63 bits, a date-time whose UTC year has not four digits.
bool leftOut(const QVariant &v)
{
    const QDateTime utc = v.toDateTime().toUTC();
    switch (v.type()) {
    case QVariant::Invalid: case QVariant::Bool: case QVariant::Int: case QVariant::LongLong: case QVariant::String:
    case QVariant::ByteArray: case QVariant::List: case QVariant::Map: return false;
    case QVariant::Double: return !std::isfinite(v.toDouble());
    case QVariant::ULongLong: return v.toULongLong() >> 63;
    case QVariant::DateTime: return utc.isValid() && (utc.date().year() < 1 || utc.date().year() > 9999);
    default: return true;
    }
}

// Doubles exact, 64-bit integers signed, date-times to the second and with a
// zone as their UTC clock, invalid ones nil; a left-out value is nil in a
// member or a param, and gone from a list.
QVariant expected(const QVariant &v)
{
    const QDateTime when = v.toDateTime().timeSpec() == Qt::LocalTime ? v.toDateTime() : v.toDateTime().toUTC();
    const QTime t = when.time();
    const QVariantMap in = v.toMap();
    QVariantList list;
    QVariantMap map;
    if (leftOut(v))
        return QVariant();
    switch (v.type()) {
    case QVariant::ULongLong: return v.toLongLong();
    case QVariant::String: return written(v.toString());
    case QVariant::DateTime:
        return when.isValid() ? QVariant(QDateTime(when.date(), QTime(t.hour(), t.minute(), t.second()))) : QVariant();
    case QVariant::List:
        for (const QVariant &item : v.toList()) {
            if (!leftOut(item))
                list << expected(item);
        }
        return list;
    case QVariant::Map:
        for (auto it = in.cbegin(); it != in.cend(); ++it)
            map.insert(written(it.key()), expected(*it)); // keys alike once written: the last counts
        return map;
    default: return v;
    }
}


void silence(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(silence); // left-out types are reported per value
    qputenv("TZ", "UTC"); // no local date-time falls into a gap
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    at = data + 1, end = data + size, nodes = 0;
    const int kind = data[0] % 3;
    const QString name = text(); // the method, or the fault's message
    const int code = int(bits(4));
    QVariantList args, expectedArgs;
    for (int n = kind == 0 ? byte() % 5 : 1; n > 0; --n)
        args << value(0), expectedArgs << expected(args.last());
    const QByteArray document = kind == 0 ? DocumentWriter::call(name, args)
        : kind == 1                       ? DocumentWriter::response(args.at(0))
                                          : DocumentWriter::fault(code, name);
    QVariantList read, wanted;
    if (kind == 0) {
        const DocumentReader::Call call = DocumentReader::readCall(document);
        read = {int(call.outcome), call.methodName, call.arguments()};
        wanted = {int(DocumentReader::Read), written(name), expectedArgs};
    } else {
        const DocumentReader::Response r = DocumentReader::readResponse(document);
        read = {int(r.outcome), r.isFault, r.faultCode, r.faultString, r.result};
        wanted = {int(DocumentReader::Read), kind == 2, kind == 2 ? code : 0, kind == 2 ? written(name) : QString(),
                  kind == 2 || args.at(0).isNull() ? QVariant() : expectedArgs.at(0)}; // no param when null
    }
    QXmlStreamReader xml(document);
    while (!xml.atEnd())
        xml.readNext();
    // XML readers take a raw CR for LF, DocumentReader does not: it must be a reference.
    if (xml.hasError() || document.contains('\r') || describe(read) != describe(wanted)) {
        std::fprintf(stderr, "%s\n%s\nread:   %s\nwanted: %s\n", document.constData(), qPrintable(xml.errorString()),
                     qPrintable(describe(read)), qPrintable(describe(wanted)));
        std::abort();
    }
    return 0;
}
