#ifndef MAIAFAULT_H
#define MAIAFAULT_H

#include <QMap>
#include <QObject>
#include <QVariant>

// One XML-RPC fault: a code and a message, renderable as a fault response.
// Copyable, so that a slot can return it inside a QVariant.
class MaiaFault : public QObject
{
    Q_OBJECT
public:
    explicit MaiaFault(int faultCode = 0, QString faultString = QString(), QObject *parent = nullptr);
    MaiaFault(const MaiaFault &other);
    // Copies the fault, not the QObject identity: the parent stays.
    MaiaFault &operator=(const MaiaFault &other);

    QString composeFault();

    int code() const;
    QString message() const;

private:
    QMap<QString, QVariant> faultStruct;
};

Q_DECLARE_METATYPE(MaiaFault)

#endif
