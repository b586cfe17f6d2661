#pragma once
#include <boost/date_time/posix_time/posix_time_types.hpp>

// The controller's 7-byte time stamp; its layout is the controller's own.
struct time_stamp7 {
    unsigned char raw[7];
};

time_stamp7 get_ttime(boost::posix_time::ptime t);
