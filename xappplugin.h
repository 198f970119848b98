#ifndef XAPPPLUGIN_H
#define XAPPPLUGIN_H

#include <QObject>
#include <QWebView>

// The host's plug-in interface. The host is built against this header, so
// the order of the virtual functions is part of the binary interface:
// pluginName() must stay the first one after QObject's.
class XAPPPlugin : public QObject
{
    Q_OBJECT
public:
    explicit XAPPPlugin(QWebView *view)
        : QObject(view)
        , view(view)
    {
    }
    ~XAPPPlugin() override {}

    virtual const char *pluginName() { return "lplug"; }

signals:
    void registerWidgetSignal();

protected:
    QWebView *view; // the host's, never deleted here
};

#endif
