#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "host_api.h"

class TXQController;

extern "C" {

// One argument of a log line as the optional log sink receives it. Integers keep their
// signedness and width class so that a byte prints as a number; floats stay floats so
// that they print in their shortest form; texts are borrowed for the length of the call.
struct txq_log_arg {
    enum Kind : uint8_t { kSigned, kUnsigned, kFloat, kDouble, kText };
    Kind kind;
    union {
        int64_t i;
        uint64_t u;
        float f;
        double d;
        struct {
            const char* data;
            size_t size;
        } text;
    } value;
};

// Optional log sink of the controller process. It is a weak reference: a controller that
// does not define it leaves it null, and InfoLog then does nothing at all.
HOST_API void txq_log_sink(TXQController* controller, const char* format, size_t format_size,
                           const txq_log_arg* args, size_t count) __attribute__((weak));

}  // extern "C"

namespace txq_log_detail {

template <class T>
txq_log_arg make_arg(const T& v) {
    using D = std::decay_t<T>;
    txq_log_arg a{};
    if constexpr (std::is_same_v<D, bool>) {
        a.kind = txq_log_arg::kUnsigned;
        a.value.u = v ? 1 : 0;
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        a.kind = txq_log_arg::kSigned;
        a.value.i = static_cast<int64_t>(v);
    } else if constexpr (std::is_integral_v<D> || std::is_enum_v<D>) {
        a.kind = txq_log_arg::kUnsigned;
        a.value.u = static_cast<uint64_t>(v);
    } else if constexpr (std::is_same_v<D, float>) {
        a.kind = txq_log_arg::kFloat;
        a.value.f = v;
    } else if constexpr (std::is_floating_point_v<D>) {
        a.kind = txq_log_arg::kDouble;
        a.value.d = static_cast<double>(v);
    } else {
        const std::string_view s(v);
        a.kind = txq_log_arg::kText;
        a.value.text.data = s.data();
        a.value.text.size = s.size();
    }
    return a;
}

}  // namespace txq_log_detail

// The controller a device reports to. Devices reach it through their weak `controller`.
class HOST_API TXQController {
public:
    virtual ~TXQController();

    // Log hook: a format text with one "{}" per argument, the first argument always the
    // reporting device's data id. The controller's own hook has an empty body; a process
    // that defines the optional sink receives every line with its typed arguments.
    template <class... Args>
    void InfoLog(std::string_view format, const Args&... args) {
        if (txq_log_sink == nullptr) return;
        if constexpr (sizeof...(Args) == 0) {
            txq_log_sink(this, format.data(), format.size(), nullptr, 0);
        } else {
            const txq_log_arg list[] = {txq_log_detail::make_arg(args)...};
            txq_log_sink(this, format.data(), format.size(), list, sizeof...(Args));
        }
    }
};
