#include "uploadstore.h"

#include "servicereply.h"

#include <QImage>

#include <algorithm>

namespace {

// The release ids of a comma-separated list, as callers write them.
QStringList releaseIds(const QString &list)
{
    QStringList ids;
    for (const QString &id : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
        ids << id.trimmed();
    return ids;
}

// Whether a JPEG has an application segment `marker` whose data begins
// with `signature`, before its image data.
bool hasSegment(const QByteArray &jpeg, char marker, const QByteArray &signature)
{
    // Each segment is a marker and a big-endian length that counts itself.
    for (int at = 2; at + 4 <= jpeg.size() && jpeg.at(at) == '\xff' && jpeg.at(at + 1) != '\xda';
         at += 2 + std::max((uchar(jpeg.at(at + 2)) << 8) | uchar(jpeg.at(at + 3)), 2)) {
        if (jpeg.at(at + 1) == marker && jpeg.mid(at + 4, signature.size()) == signature)
            return true;
    }
    return false;
}

// The metadata blocks a JPEG carries, named as photographers know them.
QStringList metadataBlocks(const QByteArray &jpeg)
{
    QStringList found;
    if (hasSegment(jpeg, '\xe1', QByteArrayLiteral("Exif\0\0")))
        found << QStringLiteral("Exif");
    if (hasSegment(jpeg, '\xed', QByteArrayLiteral("Photoshop 3.0\0")))
        found << QStringLiteral("IPTC");
    if (hasSegment(jpeg, '\xe1', QByteArrayLiteral("http://ns.adobe.com/xap/1.0/\0")))
        found << QStringLiteral("XMP");
    if (hasSegment(jpeg, '\xe2', QByteArrayLiteral("ICC_PROFILE\0")))
        found << QStringLiteral("ICC");
    return found;
}

} // namespace

UploadStore::UploadStore()
    : limits{{"exts", "jpg,jpeg"}, {"max_mpx", 24}, {"min_mpx", 4}, {"min_w", 1024},
             {"min_h", 1024},      {"max_r", 4},    {"q", 90}}
{
}

QString UploadStore::photoRefusal(const QByteArray &bytes) const
{
    if (!bytes.startsWith("\xff\xd8\xff"))
        return QStringLiteral("A .jpg upload must be a JPEG photo");
    const QImage image = QImage::fromData(bytes, "JPEG");
    if (image.isNull())
        return QStringLiteral("The JPEG photo cannot be decoded");
    auto limit = [this](const char *key, int fallback) {
        bool ok = false;
        const int value = limits.value(QLatin1String(key)).toInt(&ok);
        return ok ? value : fallback;
    };
    const int w = image.width();
    const int h = image.height();
    const double mpx = double(w) * h / 1000000.0;
    const double ratio = w > h ? double(w) / h : double(h) / w;
    if (mpx < limit("min_mpx", 4) || mpx > limit("max_mpx", 24) || w < limit("min_w", 1024)
        || h < limit("min_h", 1024) || ratio > limit("max_r", 4))
        return QStringLiteral("The photo (%1 x %2) is outside the announced limits").arg(w).arg(h);
    return QString();
}

QVariantMap UploadStore::addPhotoStage(const QVariantMap &record)
{
    const QString uniq = record.value(QStringLiteral("uniq")).toString();
    const int part = record.value(QStringLiteral("part"), -1).toInt();
    const QVariant last = record.value(QStringLiteral("last"));
    if (uniq.size() != 32 || part < 0 || part > 3 || last.type() != QVariant::Int
        || last.toInt() != (part == 3 ? 1 : 0) || record.value(QStringLiteral("data")).type() != QVariant::String)
        return serviceReply(400, QStringLiteral("Malformed upload stage"));

    if (part == 0)
        pendingUploads.insert(uniq, PendingUpload{0, record.value(QStringLiteral("ext")).toString(), QString()});
    auto pending = pendingUploads.find(uniq);
    if (pending == pendingUploads.end() || pending->nextPart != part)
        return serviceReply(409, QStringLiteral("Stage %1 of upload %2 arrived out of order").arg(part).arg(uniq));
    if (record.value(QStringLiteral("ext")).toString() != pending->ext)
        return serviceReply(409, QStringLiteral("The extension changed during upload %1").arg(uniq));
    pending->text += record.value(QStringLiteral("data")).toString();
    pending->nextPart = part + 1;
    if (part < 3)
        return serviceReply(200, QStringLiteral("Stage received"));

    const PendingUpload upload = pendingUploads.take(uniq);
    for (const char *key : {"title", "desc", "keywords"}) {
        if (record.value(QLatin1String(key)).type() != QVariant::String)
            return serviceReply(400, QStringLiteral("The last stage needs title, desc and keywords"));
    }
    const auto decoded = QByteArray::fromBase64Encoding(upload.text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return serviceReply(400, QStringLiteral("The photo data is not valid Base64"));
    if (upload.ext == QLatin1String(".jpg")) {
        const QString why = photoRefusal(*decoded);
        if (!why.isEmpty())
            return serviceReply(422, why);
    }
    const QString id = QString::number(1001 + storedPhotos.size());
    storedPhotos.append(Photo{id, uniq, upload.ext, *decoded, record.value(QStringLiteral("title")).toString(),
                              record.value(QStringLiteral("desc")).toString(),
                              record.value(QStringLiteral("keywords")).toString(), metadataBlocks(*decoded)});
    return serviceReply(200, QStringLiteral("Photo stored"), {QVariantMap{{"response", id}}});
}

QVariantMap UploadStore::addRelease(const QVariantMap &record, const QString &type, const QString &name,
                                    const QString &description, const QString &date)
{
    const auto decoded = QByteArray::fromBase64Encoding(record.value(QStringLiteral("data")).toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return serviceReply(400, QStringLiteral("The release data is not valid Base64"));
    if ((*decoded).isEmpty())
        return serviceReply(400, QStringLiteral("The release file is empty"));
    const QString id = QStringLiteral("R%1").arg(storedReleases.size() + 1);
    storedReleases.append(Release{id, record.value(QStringLiteral("ext")).toString(), *decoded, type, name,
                                  description, date});
    return serviceReply(200, QStringLiteral("Release stored"), {QVariantMap{{"response", id}}});
}

bool UploadStore::hasRelease(const QString &id) const
{
    return std::any_of(storedReleases.cbegin(), storedReleases.cend(), [&id](const Release &r) { return r.id == id; });
}

QVariantMap UploadStore::checkReleases(const QString &releases) const
{
    QStringList states;
    for (const QString &release : releaseIds(releases))
        states << release + (hasRelease(release) ? QStringLiteral(":valid") : QStringLiteral(":unknown"));
    return serviceReply(200, QStringLiteral("OK"), {QVariantMap{{"response", states.join(QLatin1Char(','))}}});
}

QVariantMap UploadStore::attachReleases(const QString &photoId, const QString &releases)
{
    const bool photoKnown = std::any_of(storedPhotos.cbegin(), storedPhotos.cend(),
                                        [&photoId](const Photo &p) { return p.id == photoId; });
    if (!photoKnown)
        return serviceReply(404, QStringLiteral("Unknown photo id %1").arg(photoId));
    const QStringList ids = releaseIds(releases);
    for (const QString &release : ids) {
        if (!hasRelease(release))
            return serviceReply(404, QStringLiteral("Unknown release %1").arg(release));
    }
    if (ids.isEmpty())
        return serviceReply(400, QStringLiteral("No release to attach"));
    attached[photoId] << ids;
    return serviceReply(200, QStringLiteral("Attached"), {QVariantMap{{"response", QString::number(ids.size())}}});
}
