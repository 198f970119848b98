#include "photopreparation.h"

#include "jpegrecoder.h"
#include "photometadata.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryFile>
#include <QThreadPool>
#include <QtConcurrent>

#include <cmath>

namespace {

struct OneThreadPool : QThreadPool
{
    OneThreadPool() { setMaxThreadCount(1); }
};
// Destroyed at exit or when the plug-in is unloaded, waiting for its work.
Q_GLOBAL_STATIC(OneThreadPool, preparationPool)

PhotoPreparation::Refusal refusal(const QSize &photo, const UploadRestrictions &limits)
{
    const int w = photo.width();
    const int h = photo.height();
    const double mpx = double(w) * h / 1000000.0;
    if (mpx < limits.min_mpx || w < limits.min_w || h < limits.min_h)
        return PhotoPreparation::Refusal::TooSmall;
    if ((w > h ? double(w) / h : double(h) / w) > limits.max_r)
        return PhotoPreparation::Refusal::WrongAspectRatio;
    return PhotoPreparation::Refusal::None;
}

// Checks and re-encodes a ".jpg" photo into a temporary file, with the
// photo's metadata; returns its path, or the photo's own when no temporary
// file could be written. The checks read only the header; TurboJPEG
// decodes, and Qt's reader takes what it does not (another format inside,
// CMYK), decoding it whole.
PhotoPreparation::Refusal reencode(const QString &file, const UploadRestrictions &limits, QString *sent)
{
    QFile source(file);
    QByteArray bytes = source.open(QIODevice::ReadOnly) ? source.readAll() : QByteArray();
    source.close();
    const PhotoMetadata metadata(bytes);
    JpegRecoder recoder(std::move(bytes));
    QSize photo = recoder.size();
    QImage image;
    if (!photo.isValid()) {
        photo = QImageReader(file).size();
        if (!photo.isValid()) {
            image = QImage(file); // nothing decodable is 0 x 0
            photo = image.size();
        }
    }
    PhotoPreparation::Refusal refused = refusal(photo, limits);
    if (refused != PhotoPreparation::Refusal::None)
        return refused;

    QTemporaryFile temporary(QDir::tempPath() + QLatin1String("/corvane_img_XXXXXX.jpg"));
    temporary.setAutoRemove(false);
    if (!temporary.open())
        return PhotoPreparation::Refusal::None; // sent as it is: it passed the checks
    QBuffer encoded;
    encoded.open(QIODevice::WriteOnly);
    QSize sentSize = PhotoPreparation::targetSize(photo, limits.max_mpx);
    const JpegRecoder::Outcome recoded = recoder.recode(sentSize, limits.q, &encoded);
    if (recoded == JpegRecoder::Outcome::Damaged) {
        temporary.remove();
        return PhotoPreparation::Refusal::Damaged;
    }
    if (recoded == JpegRecoder::Outcome::Unsupported) {
        if (image.isNull())
            image = QImage(file);
        if (image.size() != photo)
            refused = refusal(image.size(), limits); // the header promised what the data did not hold
        if (refused != PhotoPreparation::Refusal::None) {
            temporary.remove();
            return refused;
        }
        sentSize = PhotoPreparation::targetSize(image.size(), limits.max_mpx);
        if (sentSize != image.size())
            image = image.scaled(sentSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        image.save(&encoded, "jpeg", limits.q);
    }
    if (!metadata.write(encoded.data(), sentSize, &temporary)) {
        temporary.remove();
        return PhotoPreparation::Refusal::None; // sent as it is: it passed the checks
    }
    temporary.close();
    *sent = temporary.fileName();
    return PhotoPreparation::Refusal::None;
}

} // namespace

PhotoPreparation::Result PhotoPreparation::prepare(const QString &file, const UploadRestrictions &limits)
{
    Result result;
    result.extension = extensionOf(file);
    QString sent = file;
    if (result.extension == QLatin1String(".jpg")) {
        result.error = reencode(file, limits, &sent);
        if (result.error != PhotoPreparation::Refusal::None)
            return result;
    }
    QFile source(sent);
    const bool readable = source.open(QIODevice::ReadOnly);
    const QByteArray text = readable ? source.readAll().toBase64() : QByteArray();
    source.close();
    if (sent != file)
        QFile::remove(sent); // the temporary JPEG lives only until it has been read
    if (!readable) {
        result.error = PhotoPreparation::Refusal::CannotReadFile;
        return result;
    }
    const auto bounds = stageBounds(text.size());
    for (int stage = 0; stage < stageCount; ++stage)
        result.stages[stage] = QString::fromLatin1(text.constData() + bounds[stage], int(bounds[stage + 1] - bounds[stage]));
    return result;
}

QFuture<PhotoPreparation::Result> PhotoPreparation::prepareLater(const QString &file, const UploadRestrictions &limits)
{
    return QtConcurrent::run(pool(), &PhotoPreparation::prepare, file, limits);
}

QThreadPool *PhotoPreparation::pool()
{
    return preparationPool();
}

QSize PhotoPreparation::targetSize(const QSize &photo, int maxMpx)
{
    const double area = double(photo.width()) * photo.height();
    if (maxMpx <= 1 || area / 1000000.0 <= maxMpx)
        return photo;
    const double scale = std::sqrt((maxMpx - 1) * 1000000.0 / area);
    const long height = std::lround(photo.height() * scale);
    const long width = std::lround(height * (double(photo.width()) / photo.height()));
    return QSize(int(width), int(height));
}

std::array<qint64, PhotoPreparation::stageCount + 1> PhotoPreparation::stageBounds(qint64 length)
{
    std::array<qint64, stageCount + 1> bounds{};
    for (int stage = 0; stage <= stageCount; ++stage)
        bounds[stage] = length * stage / stageCount;
    return bounds;
}

QString PhotoPreparation::extensionOf(const QString &path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : path.mid(dot).toLower();
}
