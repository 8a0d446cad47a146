// The local time of the log's timestamps.
#pragma once

namespace platform {

struct LocalTime {
    unsigned year, month, day, hour, minute, second;
};
LocalTime NowLocal();

}  // namespace platform
