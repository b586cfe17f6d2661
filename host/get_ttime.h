#pragma once
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host_api.h"

// The host's 7-byte time record: year (16-bit little-endian), month, day, hour, minute,
// second. Devices copy it verbatim into their records.
struct __attribute__((packed)) ttime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
static_assert(sizeof(ttime) == 7, "the host time record is 7 bytes");

HOST_API ttime get_ttime(const boost::posix_time::ptime& t);
