#ifndef SCALARVALUE_H
#define SCALARVALUE_H

#include <QString>
#include <QVariant>

// A scalar's value from its element's text, alike for the streamed and the
// DOM readings: bool, int, i8, double, string, base64 and ISO 8601 date-times.
class ScalarValue
{
public:
    // Whether the (lower-case) type names one of the scalars above.
    static bool isScalar(const QString &type);
    // The value of a scalar of the given type; false for any other type. A
    // text that does not convert gives nil, and names itself in `invalid`
    // unless an earlier one did.
    static bool read(const QString &type, const QString &text, QVariant *value, QString *invalid);
};

#endif
