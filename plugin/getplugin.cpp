#include "vendaluxuploader.h"

// The library's only export; the host resolves it by its plain name.
extern "C" __attribute__((visibility("default"))) XAPPPlugin *getPlugin(QWebView *view)
{
    auto *plugin = new VendaluxUploader(view);
    plugin->registerInPage();
    return plugin;
}
