#include "photopreparation.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryFile>

#include <cmath>

namespace {

// Checks and re-encodes a ".jpg" photo into a temporary file; returns its
// path, or the photo's own when no temporary file could be written.
AppError reencode(const QString &file, const UploadRestrictions &limits, QString *sent)
{
    QImage image(file);
    const int w = image.width();
    const int h = image.height();
    const double mpx = double(w) * h / 1000000.0;
    if (mpx < limits.min_mpx || w < limits.min_w || h < limits.min_h)
        return AppError::TooSmall;
    if ((w > h ? double(w) / h : double(h) / w) > limits.max_r)
        return AppError::WrongAspectRatio;
    const QSize size = PhotoPreparation::targetSize(image.size(), limits.max_mpx);
    if (size != image.size())
        image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    QTemporaryFile temporary(QDir::tempPath() + QLatin1String("/corvane_img_XXXXXX.jpg"));
    temporary.setAutoRemove(false);
    if (!temporary.open())
        return AppError::None; // sent as it is: it passed the checks
    const QString path = temporary.fileName();
    temporary.close();
    QFile target(path);
    if (!target.open(QIODevice::WriteOnly)) {
        QFile::remove(path);
        return AppError::None;
    }
    image.save(&target, "jpeg", limits.q);
    *sent = path;
    return AppError::None;
}

} // namespace

PhotoPreparation::Result PhotoPreparation::prepare(const QString &file, const UploadRestrictions &limits)
{
    Result result;
    result.extension = extensionOf(file);
    QString sent = file;
    if (result.extension == QLatin1String(".jpg")) {
        result.error = reencode(file, limits, &sent);
        if (result.error != AppError::None)
            return result;
    }
    QFile source(sent);
    const bool readable = source.open(QIODevice::ReadOnly);
    const QByteArray text = readable ? source.readAll().toBase64() : QByteArray();
    source.close();
    if (sent != file)
        QFile::remove(sent); // the temporary JPEG lives only until it has been read
    if (!readable) {
        result.error = AppError::CannotReadFile;
        return result;
    }
    const auto bounds = stageBounds(text.size());
    for (int stage = 0; stage < stageCount; ++stage)
        result.stages[stage] = QString::fromLatin1(text.constData() + bounds[stage], int(bounds[stage + 1] - bounds[stage]));
    return result;
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
