#include "vendaluxuploader.h"

#include <QWebFrame>
#include <QWebPage>

VendaluxUploader::VendaluxUploader(QWebView *view)
    : XAPPPlugin(view)
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
    connect(this, SIGNAL(registerWidgetSignal()), view, SLOT(forward()));
}

void VendaluxUploader::hello()
{
    view->page()->mainFrame()->evaluateJavaScript(QStringLiteral("alert('Vendalux uploader works');"));
}

void VendaluxUploader::_login(QString client_id, QString client_key, QString password,
                              QString success_callback, QString error_callback)
{
    Q_UNUSED(client_id) Q_UNUSED(client_key) Q_UNUSED(password)
    Q_UNUSED(success_callback) Q_UNUSED(error_callback)
}

void VendaluxUploader::_uploadFile(QString file, QVariant meta, QString success_callback,
                                   QString error_callback, QString process_callback)
{
    Q_UNUSED(file) Q_UNUSED(meta) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
    Q_UNUSED(process_callback)
}

void VendaluxUploader::_checkReleases(QString releases, QString success_callback,
                                      QString error_callback)
{
    Q_UNUSED(releases) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
}

void VendaluxUploader::_uploadRelease(QString file, QString type, QString name,
                                      QString description, QString date,
                                      QString success_callback, QString error_callback,
                                      QString process_callback)
{
    Q_UNUSED(file) Q_UNUSED(type) Q_UNUSED(name) Q_UNUSED(description) Q_UNUSED(date)
    Q_UNUSED(success_callback) Q_UNUSED(error_callback) Q_UNUSED(process_callback)
}

void VendaluxUploader::_attachReleases(QString id_photo, QString releases,
                                       QString success_callback, QString error_callback)
{
    Q_UNUSED(id_photo) Q_UNUSED(releases) Q_UNUSED(success_callback) Q_UNUSED(error_callback)
}

void VendaluxUploader::_getEarnings(QString date_from, QString date_to,
                                    QString func_pointer_success, QString func_pointer_error)
{
    Q_UNUSED(date_from) Q_UNUSED(date_to) Q_UNUSED(func_pointer_success)
    Q_UNUSED(func_pointer_error)
}

// Neither cancels anything nor touches the session; the page expects both to exist.
void VendaluxUploader::abort()
{
}

void VendaluxUploader::close()
{
}
