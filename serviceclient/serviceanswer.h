#ifndef SERVICEANSWER_H
#define SERVICEANSWER_H

#include <QVariant>

// A reply of the import service as its operations read it: a status, its
// message and an "output" array of records.
class ServiceAnswer
{
public:
    explicit ServiceAnswer(const QVariant &reply);

    QString status() const;
    QString statusMessage() const;
    bool succeeded() const;
    // Element 0 of "output"; false when there is none.
    bool firstOutput(QVariantMap *first) const;

private:
    QVariantMap reply;
};

#endif
