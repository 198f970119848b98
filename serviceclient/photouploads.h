#ifndef PHOTOUPLOADS_H
#define PHOTOUPLOADS_H

#include "photopreparation.h"
#include "uploadrestrictions.h"

#include <QObject>
#include <QQueue>
#include <QStringList>

template <typename T> class QFutureWatcher;
class PageCallbacks;
class ServiceAnswer;
class ServiceCaller;
class Session;

// Photo uploads, one after another: each photo is prepared off the GUI
// thread, then sent in four "addPhoto" stages, the page hearing of each.
class PhotoUploads : public QObject
{
    Q_OBJECT
public:
    // One _uploadFile call, as the page made it.
    struct Request
    {
        QString file;
        UploadRestrictions limits;
        QVariantMap meta; // title, desc, keywords
        QString success;
        QString error;
        QString progress;
    };

    PhotoUploads(Session *session, ServiceCaller *caller, PageCallbacks *page, QObject *parent);

    // Starts once every upload queued before it has ended.
    void add(const Request &request);

private:
    void startNext();
    void prepared();
    // Stage 0 under a new uniq, after `attempt` retries of this photo.
    void startStages(int attempt);
    void sendStage(int part);
    void stageAnswered(const ServiceAnswer &answer, int part);
    void endAndStartNext();
    void drop();

    Session *session;
    ServiceCaller *caller;
    PageCallbacks *page;
    QQueue<Request> uploads; // the first is under way
    QFutureWatcher<PhotoPreparation::Result> *preparation = nullptr;
    PhotoPreparation::Result upload;
    QString uniq;
    int attempts = 0;     // retries of the photo under way
    int progressShown = 0; // stages the page has heard of: a restart does not repeat them
};

#endif
