#include "photouploads.h"

#include "maiaFault.h"
#include "pagecallbacks.h"
#include "servicecaller.h"

#include <QFutureWatcher>
#include <QRandomGenerator>

PhotoUploads::PhotoUploads(Session *session, ServiceCaller *caller, PageCallbacks *page, QObject *parent)
    : QObject(parent)
    , session(session)
    , caller(caller)
    , page(page)
{
    connect(page, &PageCallbacks::pageGone, this, &PhotoUploads::drop);
}

void PhotoUploads::add(const Request &request)
{
    uploads.enqueue(request);
    if (uploads.size() == 1)
        startNext();
}

// The pool prepares the photo; this thread only hears when it is ready.
void PhotoUploads::startNext()
{
    if (!page->hasPage())
        uploads.clear(); // no page to report to: nothing more is sent
    if (uploads.isEmpty())
        return;
    preparation = new QFutureWatcher<PhotoPreparation::Result>(this);
    connect(preparation, &QFutureWatcherBase::finished, this, &PhotoUploads::prepared);
    preparation->setFuture(PhotoPreparation::prepareLater(uploads.head().file, uploads.head().limits));
}

void PhotoUploads::prepared()
{
    PhotoPreparation::Result result = preparation->result();
    preparation->deleteLater();
    preparation = nullptr;
    if (result.error != PhotoPreparation::Refusal::None) {
        // A photo that could not be made into its copy says why; the others keep their fixed texts.
        const QString text = result.error == PhotoPreparation::Refusal::NotPrepared
            ? QLatin1String("Cannot prepare the photo: ") + result.errorString
            : QString();
        if (page->appError(uploads.head().error, appErrorOf(result.error), text))
            endAndStartNext();
        return;
    }
    upload = std::move(result);
    progressShown = 0;
    startStages(0);
}

void PhotoUploads::startStages(int attempt)
{
    if (uploads.isEmpty() || preparation)
        return; // dropped with its page while a retry waited
    attempts = attempt;
    uniq = Session::md5(session->token() + QString::number(QRandomGenerator::global()->bounded(RAND_MAX)));
    sendStage(0);
}

void PhotoUploads::sendStage(int part)
{
    const bool last = part == PhotoPreparation::stageCount - 1;
    QVariantMap record{{QStringLiteral("data"), upload.stages[part]},
                       {QStringLiteral("ext"), upload.extension},
                       {QStringLiteral("part"), part},
                       {QStringLiteral("last"), last ? 1 : 0},
                       {QStringLiteral("uniq"), uniq}};
    if (last) {
        const QVariantMap &meta = uploads.head().meta;
        record.insert(QStringLiteral("title"), meta.value(QStringLiteral("title")).toString());
        record.insert(QStringLiteral("desc"), meta.value(QStringLiteral("desc")).toString());
        record.insert(QStringLiteral("keywords"),
                      meta.value(QStringLiteral("keywords")).toStringList().join(QLatin1Char('|')));
    }
    // Stages before the last change nothing the service keeps: the photo starts over.
    ServiceCaller::Retry retry;
    retry.once = last;
    retry.attempt = attempts;
    retry.again = [this](int attempt) { startStages(attempt); };
    retry.uncertain = [this] {
        if (!uploads.isEmpty() && page->appError(uploads.head().error, AppError::ReplyLost))
            endAndStartNext();
    };
    caller->call(
        QStringLiteral("addPhoto"), {record},
        [this, part](const ServiceAnswer &answer) { stageAnswered(answer, part); },
        [this](const MaiaFault &fault) {
            if (!uploads.isEmpty() && page->fault(uploads.head().error, fault))
                endAndStartNext();
        },
        retry);
}

// A false from the page means the client or the page is gone: the upload ends with it.
void PhotoUploads::stageAnswered(const ServiceAnswer &answer, int part)
{
    if (uploads.isEmpty())
        return; // dropped with its page while the stage was on its way
    const Request current = uploads.head();
    if (!answer.succeeded()) {
        if (page->serviceError(current.error, answer))
            endAndStartNext();
        return;
    }
    if (part + 1 > progressShown) {
        progressShown = part + 1;
        if (!page->progress(current.progress, part + 1, PhotoPreparation::stageCount))
            return;
    }
    if (part < PhotoPreparation::stageCount - 1)
        return sendStage(part + 1);
    QVariantMap first;
    const bool stillThere = answer.firstOutput(&first)
        ? page->callWithText(current.success, first.value(QStringLiteral("response")).toString())
        : page->call(current.success);
    if (stillThere)
        endAndStartNext();
}

void PhotoUploads::endAndStartNext()
{
    upload = PhotoPreparation::Result();
    if (!uploads.isEmpty())
        uploads.dequeue();
    startNext();
}

void PhotoUploads::drop()
{
    delete preparation; // its photo is no longer awaited
    preparation = nullptr;
    upload = PhotoPreparation::Result();
    uploads.clear();
}
