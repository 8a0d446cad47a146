#include "platform/Clock.h"

#include <windows.h>

namespace platform {

LocalTime NowLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace platform
