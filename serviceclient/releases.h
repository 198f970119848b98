#ifndef RELEASES_H
#define RELEASES_H

#include <QObject>
#include <QVariantList>

class PageCallbacks;
class ServiceCaller;

// Release documents: uploading one, checking releases, attaching them to a
// photo. The page hears the service's "response" text, or its refusal.
class Releases : public QObject
{
    Q_OBJECT
public:
    Releases(ServiceCaller *caller, PageCallbacks *page, QObject *parent);

    // An unreadable file goes as empty data: the service decides.
    void upload(const QString &file, const QString &type, const QString &name, const QString &description,
                const QString &date, const QString &success, const QString &error);
    void check(const QString &releases, const QString &success, const QString &error);
    void attach(const QString &photoId, const QString &releases, const QString &success, const QString &error);

private:
    // `once`: never sent again once it fully left.
    void send(const QString &method, const QVariantList &params, const QString &success, const QString &error,
              bool once);

    ServiceCaller *caller;
    PageCallbacks *page;
};

#endif
