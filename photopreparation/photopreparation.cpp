#include "photopreparation.h"

#include "jpegrecoder.h"
#include "photometadata.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
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

using Refusal = PhotoPreparation::Refusal;

Refusal refusal(const QSize &photo, const UploadRestrictions &limits, QString *why)
{
    const int w = photo.width();
    const int h = photo.height();
    const double mpx = double(w) * h / 1000000.0;
    if (mpx < limits.min_mpx || w < limits.min_w || h < limits.min_h) {
        *why = QStringLiteral("The photo is %1 x %2 pixels, under the service's smallest.").arg(w).arg(h);
        return Refusal::TooSmall;
    }
    if ((w > h ? double(w) / h : double(h) / w) > limits.max_r) {
        *why = QStringLiteral("The photo's sides, %1 x %2 pixels, are further apart than the service takes.")
                   .arg(w)
                   .arg(h);
        return Refusal::WrongAspectRatio;
    }
    return Refusal::None;
}

// Checks and re-encodes a ".jpg" photo, with its metadata, into `sent`; a
// failure is a refusal, so an original over the limits is never sent. The
// checks read only the header; TurboJPEG decodes, and Qt's reader takes
// what it does not (another format inside, CMYK), decoding it whole.
Refusal reencode(const QString &file, const UploadRestrictions &limits, QByteArray *sent, QString *why)
{
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly)) {
        *why = source.errorString();
        return Refusal::CannotReadFile;
    }
    QByteArray bytes = source.readAll();
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
    Refusal refused = refusal(photo, limits, why);
    if (refused != Refusal::None)
        return refused;

    QBuffer encoded;
    encoded.open(QIODevice::WriteOnly);
    QSize sentSize = PhotoPreparation::targetSize(photo, limits.max_mpx);
    const JpegRecoder::Outcome recoded = recoder.recode(sentSize, limits.q, &encoded);
    if (recoded == JpegRecoder::Outcome::Unsupported) {
        QImageReader reader(file);
        if (image.isNull() && !reader.read(&image)) {
            *why = reader.errorString();
            return Refusal::Damaged; // its header promised a photo its data does not hold
        }
        if (image.size() != photo)
            refused = refusal(image.size(), limits, why);
        if (refused != Refusal::None)
            return refused;
        sentSize = PhotoPreparation::targetSize(image.size(), limits.max_mpx);
        if (sentSize != image.size())
            image = image.scaled(sentSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!image.save(&encoded, "jpeg", limits.q)) {
            *why = QStringLiteral("The photo could not be written anew as a JPEG.");
            return Refusal::NotPrepared;
        }
    } else if (recoded == JpegRecoder::Outcome::Damaged) {
        *why = QStringLiteral("The photo's data is cut short or corrupt.");
        return Refusal::Damaged;
    }
    QBuffer out(sent);
    if (!out.open(QIODevice::WriteOnly) || !metadata.write(encoded.data(), sentSize, &out)) {
        *why = QStringLiteral("The photo with its metadata does not fit in memory.");
        return Refusal::NotPrepared;
    }
    return Refusal::None;
}

} // namespace

PhotoPreparation::Result PhotoPreparation::prepare(const QString &file, const UploadRestrictions &limits)
{
    Result result;
    result.extension = extensionOf(file);
    QByteArray sent;
    if (result.extension == QLatin1String(".jpg")) {
        result.error = reencode(file, limits, &sent, &result.errorString);
    } else {
        QFile source(file);
        if (source.open(QIODevice::ReadOnly))
            sent = source.readAll();
        else
            result.error = Refusal::CannotReadFile;
        result.errorString = source.errorString();
    }
    if (result.error != Refusal::None)
        return result;
    result.errorString.clear();
    const QByteArray text = sent.toBase64();
    sent = QByteArray(); // never the photo twice in memory beside its text
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
