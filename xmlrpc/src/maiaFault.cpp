#include "maiaFault.h"

#include "documentwriter.h"

namespace {
const int maiaFaultTypeId = qRegisterMetaType<MaiaFault>("MaiaFault");
const QString faultCodeKey = QStringLiteral("faultCode");
const QString faultStringKey = QStringLiteral("faultString");
}

MaiaFault::MaiaFault(int faultCode, QString faultString, QObject *parent)
    : QObject(parent)
{
    Q_UNUSED(maiaFaultTypeId);
    faultStruct.insert(faultCodeKey, faultCode);
    faultStruct.insert(faultStringKey, faultString);
}

MaiaFault::MaiaFault(const MaiaFault &other)
    : QObject(other.parent())
    , faultStruct(other.faultStruct)
{
}

MaiaFault &MaiaFault::operator=(const MaiaFault &other)
{
    faultStruct = other.faultStruct;
    return *this;
}

QString MaiaFault::composeFault()
{
    return QString::fromUtf8(DocumentWriter::fault(code(), message()));
}

int MaiaFault::code() const
{
    return faultStruct.value(faultCodeKey).toInt();
}

QString MaiaFault::message() const
{
    return faultStruct.value(faultStringKey).toString();
}
