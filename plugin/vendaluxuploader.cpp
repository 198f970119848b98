#include "vendaluxuploader.h"

#include "XClient.h"

#include <QWebFrame>
#include <QWebPage>

VendaluxUploader::VendaluxUploader(QWebView *view)
    : XAPPPlugin(view)
    , client(new XClient(view->page()->mainFrame(), this))
{
}

VendaluxUploader::~VendaluxUploader() = default;

const char *VendaluxUploader::pluginName()
{
    return "lvendalux";
}

void VendaluxUploader::registerInPage()
{
    QWebFrame *frame = view->page()->mainFrame();
    frame->addToJavaScriptWindowObject(QString::fromLatin1(pluginName()), this,
                                       QWebFrame::QtOwnership);
    connect(this, &XAPPPlugin::registerWidgetSignal, view, &QWebView::forward);
}

void VendaluxUploader::hello()
{
    view->page()->mainFrame()->evaluateJavaScript(QStringLiteral("alert('Vendalux uploader works');"));
}

// Each slot passes its arguments on unchanged; results reach the page later
// through the callbacks it named.
void VendaluxUploader::_login(QString client_id, QString client_key, QString password,
                              QString success_callback, QString error_callback)
{
    client->setCredentials(client_id, client_key, password);
    client->login(success_callback, error_callback);
}

void VendaluxUploader::_uploadFile(QString file, QVariant meta, QString success_callback,
                                   QString error_callback, QString process_callback)
{
    client->uploadImage(file, meta, success_callback, error_callback, process_callback);
}

void VendaluxUploader::_checkReleases(QString releases, QString success_callback,
                                      QString error_callback)
{
    client->checkReleases(releases, success_callback, error_callback);
}

void VendaluxUploader::_uploadRelease(QString file, QString type, QString name,
                                      QString description, QString date,
                                      QString success_callback, QString error_callback,
                                      QString process_callback)
{
    client->uploadRelease(file, type, name, description, date, success_callback, error_callback,
                          process_callback);
}

void VendaluxUploader::_attachReleases(QString id_photo, QString releases,
                                       QString success_callback, QString error_callback)
{
    client->attachReleases(id_photo, releases, success_callback, error_callback);
}

void VendaluxUploader::_getEarnings(QString date_from, QString date_to,
                                    QString func_pointer_success, QString func_pointer_error)
{
    client->getEarnings(date_from, date_to, func_pointer_success, func_pointer_error);
}

// Neither cancels anything nor touches the session; the page expects both to exist.
void VendaluxUploader::abort()
{
}

void VendaluxUploader::close()
{
}
