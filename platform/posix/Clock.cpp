#include "platform/Clock.h"

#include <time.h>

namespace platform {

LocalTime NowLocal() {
    const time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return {unsigned(t.tm_year + 1900), unsigned(t.tm_mon + 1), unsigned(t.tm_mday),
            unsigned(t.tm_hour), unsigned(t.tm_min), unsigned(t.tm_sec)};
}

}  // namespace platform
