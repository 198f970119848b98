#include "apperror.h"

AppError appErrorOf(PhotoPreparation::Refusal refusal)
{
    switch (refusal) {
    case PhotoPreparation::Refusal::None:
        break;
    case PhotoPreparation::Refusal::CannotReadFile:
        return AppError::CannotReadFile;
    case PhotoPreparation::Refusal::TooSmall:
        return AppError::TooSmall;
    case PhotoPreparation::Refusal::WrongAspectRatio:
        return AppError::WrongAspectRatio;
    case PhotoPreparation::Refusal::NotPrepared: // nothing sent: the photo cannot be made into what is
        return AppError::CannotReadFile;
    case PhotoPreparation::Refusal::Damaged:
        return AppError::DamagedPhoto;
    }
    return AppError::None;
}

QString appErrorCode(AppError error)
{
    return QString::number(int(error));
}

QString appErrorText(AppError error)
{
    switch (error) {
    case AppError::None:
        break;
    case AppError::CannotReadFile:
        return QStringLiteral("Cannot read file");
    case AppError::TooSmall:
        return QStringLiteral("Too small dimensions");
    case AppError::WrongAspectRatio:
        return QStringLiteral("Wrong aspect ratio");
    case AppError::MalformedEarnings:
        return QStringLiteral("Malformed earnings reply");
    case AppError::CatalogUnavailable:
        return QStringLiteral("Catalog unavailable");
    case AppError::DamagedPhoto:
        return QStringLiteral("Damaged photo");
    case AppError::ReplyLost:
        return QStringLiteral("Connection lost after sending: the service may already hold this photo or release; "
                              "check before sending it again");
    }
    return QString();
}
