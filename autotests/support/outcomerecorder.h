#ifndef OUTCOMERECORDER_H
#define OUTCOMERECORDER_H

#include "maiaCall.h"

#include <QObject>

#include <functional>

// Records each watched call's outcome as a caller reads it, then lets the
// call go (or hands it to afterOutcome, which decides).
class OutcomeRecorder : public QObject
{
public:
    struct Outcome {
        bool isFault = false;
        QVariant result;
        int code = 0;
        QString message;
        QString method;
    };
    QList<Outcome> outcomes;
    std::function<void(MaiaCall *)> afterOutcome;

    MaiaCall *watch(MaiaCall *call)
    {
        connect(call, &MaiaCall::finished, this, [this, call] {
            const MaiaFault fault = call->fault();
            outcomes.append({call->isFault(), call->result(), fault.code(), fault.message(), call->method()});
            if (afterOutcome)
                afterOutcome(call);
            else
                call->deleteLater();
        });
        return call;
    }
};

#endif
