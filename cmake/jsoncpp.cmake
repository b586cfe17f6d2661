# jsoncpp's CMake package: 1.9.5 and later name the library JsonCpp::JsonCpp; 1.9.4 (Debian 11,
# the oldest toolchain we build with) exports only jsoncpp_lib. Both end up as JsonCpp::JsonCpp.
find_package(jsoncpp CONFIG REQUIRED)
if(NOT TARGET JsonCpp::JsonCpp)
  if(NOT TARGET jsoncpp_lib)
    message(FATAL_ERROR "the jsoncpp package defines neither JsonCpp::JsonCpp nor jsoncpp_lib")
  endif()
  add_library(JsonCpp::JsonCpp INTERFACE IMPORTED)
  set_target_properties(JsonCpp::JsonCpp PROPERTIES INTERFACE_LINK_LIBRARIES jsoncpp_lib)
endif()
