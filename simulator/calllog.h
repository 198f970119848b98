#ifndef CALLLOG_H
#define CALLLOG_H

#include <QObject>
#include <QVariant>

// Every call that reached the simulator, in order, whether the service
// answered it or the gate failed it, for tests and for sim.callLog.
class CallLog : public QObject
{
    Q_OBJECT
public:
    struct Call {
        QString method;
        QVariantList params;
        QString token;   // the token sent; for getHash, the one issued
        bool accepted = false;
        QString note;    // why it was refused, or which fault was injected
    };

    using QObject::QObject;

    void record(const Call &call);
    QList<Call> calls() const { return entries; }
    void clear() { entries.clear(); }
    QVariantList toVariantList() const;

signals:
    void recorded(const QString &method, bool accepted, const QString &note);

private:
    QList<Call> entries;
};

#endif
