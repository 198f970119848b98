#ifndef PHOTOPREPARATION_H
#define PHOTOPREPARATION_H

#include "uploadrestrictions.h"

#include <QFuture>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>

class QThreadPool;

// Turns a file into the four stage texts that are sent: a ".jpg" photo is
// checked against the restrictions and re-encoded in memory, scaled down
// when too large; any other file goes as it is. No network, no page: what
// the page is told is the result's error.
class PhotoPreparation
{
public:
    static constexpr int stageCount = 4;

    // Why a file is not sent; the service client turns each into the page's error.
    enum class Refusal {
        None,
        CannotReadFile,
        TooSmall,
        WrongAspectRatio,
        Damaged,
        NotPrepared, // the copy could not be made: never the original in its place
    };

    struct Result
    {
        Refusal error = Refusal::None;
        QString errorString; // why, in words, when refused
        QString extension; // lower-cased, with its dot; empty without one
        std::array<QString, stageCount> stages; // the file's Base64 text, cut in four
    };

    static Result prepare(const QString &file, const UploadRestrictions &limits);
    // prepare() on the pool's one thread: never on the caller's, and never
    // two photos in memory at once.
    static QFuture<Result> prepareLater(const QString &file, const UploadRestrictions &limits);
    // Waits for it at exit, after every other owner of the work is gone.
    static QThreadPool *pool();

    // One megapixel under a limit the photo passes; the photo's own size
    // otherwise, and under a limit of 1 or less, which leaves no area to aim at.
    static QSize targetSize(const QSize &photo, int maxMpx);
    // Where each stage begins in a text of `length` characters, and its end.
    static std::array<qint64, stageCount + 1> stageBounds(qint64 length);
    static QString extensionOf(const QString &path);
};

#endif
