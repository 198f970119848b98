// A value tree read from the input, written by DocumentWriter as a call, a
// response or a fault (byte 0 picks, to spend each run on one): each must be
// well-formed and read back as the tree transformed as the writer promises,
// derived here on its own, not with the writer's helpers.
#include "describevalue.h"
#include "documentreader.h"
#include "documentwriter.h"

#include <QDateTime>
#include <QXmlStreamReader>

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
    case 0: return b % 2 ? QVariant(int(b >> 1)) : QVariant(bool(b & 2));
    case 1: return b % 2 ? d : double(qint64(b % 20000000) - 10000000) / (1 << (b >> 60)); // ties at six digits
    case 2: case 3: return text();
    case 4: return QByteArray(int(b % 40), char(b >> 8)) + text().toUtf8();
    case 5: // a day past the month's end, or 1000 ms and more, are invalid
        return QDateTime(QDate(1 + b % 9999, 1 + b / 9999 % 12, 1 + b / 999 % 31),
                         QTime(byte() % 24, byte() % 60, byte() % 60, b >> 50 & 1023));
    case 6: // types no value element holds
        return QVariantList{QVariant(), qlonglong(1), 2u, 3.0f, QDate(1, 1, 1), QStringList(), QChar()}.value(b % 7);
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

// Doubles at six significant digits, date-times to the second; a left-out value
// is nil in a member or a param, and gone from a list.
QVariant expected(const QVariant &v)
{
    const QTime t = v.toTime();
    const QVariantMap in = v.toMap();
    QVariantList list;
    QVariantMap map;
    switch (v.type()) {
    case QVariant::Double: return QString::number(v.toDouble(), 'g', 6).toDouble();
    case QVariant::String: return written(v.toString());
    case QVariant::DateTime:
        return v.toDateTime().isValid() ? QDateTime(v.toDate(), QTime(t.hour(), t.minute(), t.second())) : QDateTime();
    case QVariant::List:
        for (QVariant item : v.toList()) {
            if ((item = expected(item)).isValid())
                list << item;
        }
        return list;
    case QVariant::Map:
        for (auto it = in.cbegin(); it != in.cend(); ++it)
            map.insert(written(it.key()), expected(*it)); // keys alike once written: the last counts
        return map;
    default: return QList<int>{QVariant::Bool, QVariant::Int, QVariant::ByteArray}.contains(v.type()) ? v : QVariant();
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
