#ifndef VENDALUXUPLOADER_H
#define VENDALUXUPLOADER_H

#include "xappplugin.h"

#include <QString>
#include <QVariant>

class XClient;

// The Vendalux uploader, published in the page as window.lvendalux.
class VendaluxUploader : public XAPPPlugin
{
    Q_OBJECT
public:
    explicit VendaluxUploader(QWebView *view);
    ~VendaluxUploader() override;

    const char *pluginName() override;

    // Publishes the plug-in in the view's page and lets the host's
    // registerWidgetSignal() move the view forward.
    void registerInPage();

public slots:
    void hello();
    void _login(QString client_id, QString client_key, QString password,
                QString success_callback, QString error_callback);
    void _uploadFile(QString file, QVariant meta, QString success_callback,
                     QString error_callback, QString process_callback);
    void _checkReleases(QString releases, QString success_callback, QString error_callback);
    void _uploadRelease(QString file, QString type, QString name, QString description,
                        QString date, QString success_callback, QString error_callback,
                        QString process_callback);
    void _attachReleases(QString id_photo, QString releases, QString success_callback,
                         QString error_callback);
    void _getEarnings(QString date_from, QString date_to, QString func_pointer_success,
                      QString func_pointer_error);
    void abort();
    void close();

private:
    XClient *client; // owned as a QObject child
};

#endif
