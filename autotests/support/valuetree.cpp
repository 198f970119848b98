#include "valuetree.h"

#include <QDateTime>
#include <QStringList>

#include <cstring>
#include <limits>

namespace {

const int maxDepth = 20;
const int maxNodes = 300;

// What escaping and dropping turn on, alone and in runs.
const char *const asciiPieces[] = {
    "&", "<", ">", "\"", "'", "]]>", "]]]>", "]>", "]]", "]", "\r", "\n", "\t", "\r\n",
    "\n\r", " ", "a", "Z", "&amp;", "&#xd;", "<![CDATA[", "-->", "?>", "<a/>",
};
const ushort specialUnits[] = {
    0x7f, 0x85, 0xa0, 0xe9, 0x20ac, 0x2028, 0xd7ff, 0xe000, 0xfeff, 0xfffd, 0xfffe, 0xffff,
    0xd800, 0xdbff, 0xdc00, 0xdfff,
};
// Units that make two keys look alike once dropped.
const ushort forbiddenUnits[] = {0x0, 0x1, 0x1f, 0xfffe, 0xffff, 0xd800, 0xdc00};

const int specialInts[] = {0, 1, -1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                           std::numeric_limits<int>::min() + 1};
const double specialDoubles[] = {
    0.0, -0.0, 1.0, -1.5, 0.1, 1e-300, std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(), std::numeric_limits<double>::max(), -1e21, 123456.0,
    1234567.0, 999999.5, 0.0001, 0.00001, std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 3.14159265,
};

// A valid pair is the one place where the writer differs on purpose: each
// is broken into two lone surrogates.
QString withoutPairs(QString text)
{
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate())
            text.insert(i + 1, QLatin1Char('x'));
    }
    return text;
}

template<typename T, size_t N>
constexpr int count(const T (&)[N])
{
    return int(N);
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : bytes(bytes)
    {
    }

    QString text()
    {
        const int pieces = byte() % 17;
        if (pieces == 0)
            return byte() % 2 ? QString(QLatin1String("")) : QString();
        QString text;
        for (int i = 0; i < pieces; ++i)
            appendPiece(text);
        return withoutPairs(text);
    }

    QVariant value(int depth)
    {
        ++nodes;
        const bool leafOnly = depth >= maxDepth || nodes >= maxNodes;
        switch (byte() % 16) {
        case 0:
            return int(bits(4));
        case 1:
            return specialInts[byte() % count(specialInts)];
        case 2:
            return bool(byte() % 2);
        case 3:
            return aDouble();
        case 4:
        case 5:
        case 6:
            return text();
        case 7:
            return someBytes();
        case 8:
            return dateTime();
        case 9:
        case 10:
        case 11:
            return leafOnly ? QVariant(text()) : map(depth);
        case 12:
        case 13:
        case 14:
            return leafOnly ? QVariant(int(bits(4))) : list(depth);
        default:
            return unsupported();
        }
    }

private:
    quint8 byte() { return position < bytes.size() ? quint8(bytes.at(position++)) : 0; }

    quint64 bits(int byteCount)
    {
        quint64 value = 0;
        for (int i = 0; i < byteCount; ++i)
            value |= quint64(byte()) << (8 * i);
        return value;
    }

    void appendPiece(QString &text)
    {
        switch (byte() % 8) {
        case 0:
        case 1:
        case 2:
            text += QLatin1String(asciiPieces[byte() % count(asciiPieces)]);
            break;
        case 3:
            text += QChar(specialUnits[byte() % count(specialUnits)]);
            break;
        case 4:
            text += QChar(ushort(byte() % 32)); // controls, tab, LF and CR among them
            break;
        case 5:
            text += QChar(ushort(bits(2))); // anything in UTF-16, surrogates too
            break;
        case 6:
            text += QChar(ushort(0x20 + byte() % 95));
            break;
        default:
            text += QChar(ushort(0x80 + byte()));
            break;
        }
    }

    QVariant aDouble()
    {
        if (byte() % 2)
            return specialDoubles[byte() % count(specialDoubles)];
        const quint64 pattern = bits(8);
        double d;
        std::memcpy(&d, &pattern, sizeof d);
        return d;
    }

    QVariant someBytes()
    {
        const int size = byte() % 48;
        if (size == 0)
            return byte() % 2 ? QByteArray("") : QByteArray();
        QByteArray data;
        for (int i = 0; i < size; ++i)
            data += char(byte());
        return data;
    }

    QVariant dateTime()
    {
        switch (byte() % 4) {
        case 0:
            return QDateTime();
        case 1:
            return QDateTime(QDate(2021, 2, 30), QTime(12, 0)); // no such day
        default: {
            // About 4,400 years either side of 1970, sometimes a hundred times that.
            qint64 msecs = qint64(bits(6) << 16) >> 16;
            if (byte() % 4 == 0)
                msecs *= 100;
            const quint8 zone = byte();
            if (zone % 4 == 0)
                return QDateTime::fromMSecsSinceEpoch(msecs, Qt::LocalTime);
            return QDateTime::fromMSecsSinceEpoch(msecs, Qt::OffsetFromUTC, (zone - 128) * 300);
        }
        }
    }

    QVariant map(int depth)
    {
        QVariantMap map;
        const int members = byte() % 7;
        QString key;
        for (int i = 0; i < members; ++i) {
            if (i > 0 && byte() % 3 == 0) {
                const int at = byte() % (key.size() + 1);
                key = withoutPairs(key.insert(at, QChar(forbiddenUnits[byte() % count(forbiddenUnits)])));
            } else {
                key = text();
            }
            map.insert(key, value(depth + 1));
        }
        return map;
    }

    QVariant list(int depth)
    {
        QVariantList list;
        const int items = byte() % 7;
        for (int i = 0; i < items; ++i)
            list.append(value(depth + 1));
        return list;
    }

    // Types the documents leave out, each where it stands.
    QVariant unsupported()
    {
        switch (byte() % 4) {
        case 0:
            return QVariant();
        case 1:
            return QStringList{text()};
        case 2:
            return qlonglong(bits(8));
        default:
            return uint(bits(4));
        }
    }

    const QByteArray bytes;
    int position = 0;
    int nodes = 0;
};

} // namespace

QVariant valueTreeFromBytes(const QByteArray &bytes, QString *method)
{
    Reader reader(bytes);
    if (method)
        *method = reader.text();
    return reader.value(0);
}
