#ifndef UPLOADSTORE_H
#define UPLOADSTORE_H

#include <QHash>
#include <QStringList>
#include <QVariant>

// What callers uploaded: photos, assembled from four stages and checked
// against the announced limits, releases, and the releases of each photo.
// Each remote method's part answers with the service's reply.
class UploadStore
{
public:
    struct Photo {
        QString id;
        QString uniq;
        QString ext;
        QByteArray bytes;
        QString title;
        QString desc;
        QString keywords;
        QStringList metadata; // "Exif", "IPTC", "XMP", "ICC": the blocks the JPEG carries
    };
    struct Release {
        QString id;
        QString ext;
        QByteArray bytes;
        QString type;
        QString name;
        QString description;
        QString date;
    };

    UploadStore();

    void setRestrictions(const QVariantMap &restrictions) { limits = restrictions; }
    QVariantMap restrictions() const { return limits; }
    QList<Photo> photos() const { return storedPhotos; }
    QList<Release> releases() const { return storedReleases; }
    QHash<QString, QStringList> attachments() const { return attached; }

    QVariantMap addPhotoStage(const QVariantMap &record);
    QVariantMap addRelease(const QVariantMap &record, const QString &type, const QString &name,
                           const QString &description, const QString &date);
    QVariantMap checkReleases(const QString &releases) const;
    QVariantMap attachReleases(const QString &photoId, const QString &releases);

private:
    struct PendingUpload {
        int nextPart = 0;
        QString ext;
        QString text;
    };

    // Checks a finished ".jpg" upload against the announced limits; empty when it passes.
    QString photoRefusal(const QByteArray &bytes) const;
    bool hasRelease(const QString &id) const;

    QVariantMap limits;
    QHash<QString, PendingUpload> pendingUploads; // by "uniq"
    QList<Photo> storedPhotos;
    QList<Release> storedReleases;
    QHash<QString, QStringList> attached; // photo id to release ids
};

#endif
