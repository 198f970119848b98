#ifndef MAIAFAULT_H
#define MAIAFAULT_H

#include <QMetaType>
#include <QString>

// An XML-RPC fault: a code and a text. A server method returns one inside a
// QVariant to answer with a fault; a call that failed carries one.
class MaiaFault
{
public:
    MaiaFault() = default;
    MaiaFault(int code, const QString &message)
        : faultCode(code)
        , faultMessage(message)
    {
    }

    int code() const { return faultCode; }
    QString message() const { return faultMessage; }

private:
    int faultCode = 0;
    QString faultMessage;
};

Q_DECLARE_METATYPE(MaiaFault)

#endif
