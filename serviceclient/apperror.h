#ifndef APPERROR_H
#define APPERROR_H

#include "photopreparation.h"

#include <QString>

// The errors the client raises itself, reported to the page as error_type
// "app" beside the service's own statuses; the README lists them for pages.
enum class AppError {
    None = 0,
    CannotReadFile = 121,
    TooSmall = 122,
    WrongAspectRatio = 123,
    MalformedEarnings = 124,
    CatalogUnavailable = 125,
    DamagedPhoto = 126,
    ReplyLost = 127,
};

AppError appErrorOf(PhotoPreparation::Refusal refusal);
QString appErrorCode(AppError error);
QString appErrorText(AppError error);

#endif
