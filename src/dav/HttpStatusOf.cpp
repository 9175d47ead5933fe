#include "dav/HttpStatusOf.h"

int HttpStatusOf(StoreStatus status)
{
    switch (status) {
    case StoreStatus::Done:
        return 204;
    case StoreStatus::Created:
        return 201;
    case StoreStatus::NotFound:
        return 404;
    case StoreStatus::Busy:
        return 423;
    case StoreStatus::Exists:
        return 405;
    case StoreStatus::Refused:
        return 403;
    case StoreStatus::NotRemoved:
        return 422;
    case StoreStatus::NotMoved:
        return 412;
    case StoreStatus::NotStored:
        return 424;
    case StoreStatus::TooLarge:
        return 413;
    case StoreStatus::NoSpace:
        return 507;
    case StoreStatus::Unsupported:
        return 501;
    }
    return 500;
}
