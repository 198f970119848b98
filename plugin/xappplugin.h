#ifndef XAPPPLUGIN_H
#define XAPPPLUGIN_H

#include <QObject>
#include <QWebView>

// Visible even from a plug-in built with hidden visibility, so that the host's
// copies of these symbols replace the plug-in's (see exports.map).
#ifdef __GNUC__
#define XAPPPLUGIN_SHARED __attribute__((visibility("default")))
#else
#define XAPPPLUGIN_SHARED
#endif

// The host's plug-in interface. The host is built against this header, so
// the order of the virtual functions is part of the binary interface:
// pluginName() must stay the first one after QObject's.
class XAPPPLUGIN_SHARED XAPPPlugin : public QObject
{
    Q_OBJECT
public:
    // Inline members need it too: -fvisibility-inlines-hidden overrides the class's.
    XAPPPLUGIN_SHARED explicit XAPPPlugin(QWebView *view)
        : QObject(view)
        , view(view)
    {
    }
    XAPPPLUGIN_SHARED ~XAPPPlugin() override {}

    XAPPPLUGIN_SHARED virtual const char *pluginName() { return "lplug"; }

signals:
    void registerWidgetSignal();

protected:
    QWebView *view; // the host's, never deleted here
};

#undef XAPPPLUGIN_SHARED

#endif
