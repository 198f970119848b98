#ifndef OUTCOMERECORDER_H
#define OUTCOMERECORDER_H

#include <QObject>
#include <QPointer>
#include <QVariant>

#include <functional>

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
    // Runs inside the outcome's emission, once it is recorded; gets the sender.
    std::function<void(QObject *)> afterOutcome;

    void watch(QObject *call)
    {
        connect(call, SIGNAL(aresponse(QVariant &, QNetworkReply *)), this, SLOT(onResult(QVariant &)));
        connect(call, SIGNAL(fault(int, const QString &, QNetworkReply *)), this, SLOT(onFault(int, const QString &)));
    }

public slots:
    void onResult(QVariant &result) { record({false, result, 0, QString(), QString()}); }
    void onFault(int code, const QString &message) { record({true, QVariant(), code, message, QString()}); }

private:
    void record(Outcome outcome)
    {
        lastSender = sender();
        outcome.tag = lastSender ? lastSender->property("name").toString() : QString();
        outcomes.append(outcome);
        if (afterOutcome)
            afterOutcome(sender());
    }
};

#endif
