#ifndef CALLBACKCONTEXT_H
#define CALLBACKCONTEXT_H

#include <QString>

// The page's callback names as they travel with a remote call, in the call
// object's "name": "success|error", or "success:progress|error" for photos.
struct CallbackContext
{
    QString success;
    QString error;
    QString progress = {}; // photo uploads only

    QString encoded() const;
    // Only a photo upload's context carries a progress callback after ':'.
    static CallbackContext decoded(const QString &context, bool withProgress = false);
};

#endif
