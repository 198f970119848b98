#ifndef OUTCOMERECORDER_H
#define OUTCOMERECORDER_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

// Receives call outcomes the way XML-RPC callers do (QSignalSpy cannot take
// the QVariant& of aresponse) and remembers each with its sender's "name".
class OutcomeRecorder : public QObject
{
    Q_OBJECT
public:
    struct Outcome {
        bool isFault = false;
        QVariant result;
        int code = 0;
        QString message;
        QString tag;
    };
    QList<Outcome> outcomes;
    QPointer<QObject> lastSender;

    void watch(QObject *call)
    {
        connect(call, SIGNAL(aresponse(QVariant &, QNetworkReply *)), this, SLOT(onResult(QVariant &)));
        connect(call, SIGNAL(fault(int, const QString &, QNetworkReply *)), this,
                SLOT(onFault(int, const QString &)));
    }

public slots:
    void onResult(QVariant &result)
    {
        Outcome outcome;
        outcome.result = result;
        record(outcome);
    }
    void onFault(int code, const QString &message)
    {
        Outcome outcome;
        outcome.isFault = true;
        outcome.code = code;
        outcome.message = message;
        record(outcome);
    }

private:
    void record(Outcome &outcome)
    {
        lastSender = sender();
        if (sender())
            outcome.tag = sender()->property("name").toString();
        outcomes.append(outcome);
    }
};

#endif
