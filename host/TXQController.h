#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "host_api.h"

// One argument of a log line. Integers keep their signedness and width class so that a
// byte prints as a number; floats stay floats so that they print in their shortest form.
using LogArg = std::variant<int64_t, uint64_t, float, double, std::string>;

namespace host_detail {
template <class T>
LogArg to_log_arg(const T& v) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, bool>) {
        return LogArg(static_cast<uint64_t>(v));
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        return LogArg(static_cast<int64_t>(v));
    } else if constexpr (std::is_integral_v<D>) {
        return LogArg(static_cast<uint64_t>(v));
    } else if constexpr (std::is_same_v<D, float>) {
        return LogArg(v);
    } else if constexpr (std::is_floating_point_v<D>) {
        return LogArg(static_cast<double>(v));
    } else {
        return LogArg(std::string(v));
    }
}
}  // namespace host_detail

// The controller a device reports to. Devices reach it through their weak `controller`.
class HOST_API TXQController {
public:
    virtual ~TXQController();

    // Log hook: a format text with one "{}" per argument, the first argument always the
    // reporting device's data id. The arguments are handed on as typed values; the
    // controller decides where the line goes.
    template <class... Args>
    void InfoLog(const std::string& format, const Args&... args) {
        if constexpr (sizeof...(Args) == 0) {
            Log(format, {});
        } else {
            Log(format, std::vector<LogArg>{host_detail::to_log_arg(args)...});
        }
    }

protected:
    virtual void Log(const std::string& format, const std::vector<LogArg>& args);
};
