#ifndef DOCUMENTWRITER_H
#define DOCUMENTWRITER_H

#include <QDateTime>
#include <QString>
#include <QVariant>

// Writes the three XML-RPC documents, as the UTF-8 bytes that go on the wire,
// with the text QDomDocument::toString(1) gives for their trees, without
// building one: QDom's escaping is quadratic and its character policy drops
// everything beyond the basic plane, which XML allows.
class DocumentWriter
{
public:
    static QByteArray call(const QString &method, const QVariantList &args);
    // Empty "params" when the result is null (QVariant::isNull).
    static QByteArray response(const QVariant &result);
    static QByteArray fault(int code, const QString &message);

private:
    // The element name of a bool, int, 64-bit integer, double, string, base64
    // or date-time value, with its text; null for every other type.
    static const char *scalar(const QVariant &value, QString *text);
    // Written as <nil/>: an invalid variant, or an invalid date-time.
    static bool isNil(const QVariant &value);
    // False, with the diagnostic, for a type or a value no element can hold.
    static bool isWritable(const QVariant &value);
    // Date-times are written in this format, without a zone: Python and
    // xmlrpc-c refuse an offset, Python a "Z" too.
    static constexpr const char *dateTimeFormat = "yyyyMMddThh:mm:ss";
    // A date-time with a zone goes as its UTC time, local time as it stands.
    static QDateTime wireDateTime(const QDateTime &dateTime);

    explicit DocumentWriter(const char *root);
    void writeValue(const QVariant &value, int depth);
    void writeParam(const QVariant &value);
    void open(const char *tag, int depth);
    void close(const char *tag, int depth);
    void empty(const char *tag, int depth);
    void textElement(const char *tag, const QString &text, int depth);
    void escaped(const QString &text);
    void latin1(const char *text, int length);
    void latin1(const char *text);
    void indent(int depth);
    void reserve(int bytes);
    QByteArray finish();

    QByteArray out;
    // Where `out` begins, where the next byte goes, and where its room ends.
    char *begin = nullptr;
    char *cursor = nullptr;
    char *limit = nullptr;
    const char *root;
};

#endif
