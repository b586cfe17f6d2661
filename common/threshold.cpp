#include "common/threshold.h"

#include <cstdlib>

namespace zrt {

void read_threshold(const Json::Value& app, const char* key, float& out) {
    if (!app.isObject() || !app.isMember(key)) return;
    const Json::Value& v = app[key];
    if (v.isString() || v.isNumeric()) out = static_cast<float>(std::atof(v.asString().c_str()));
}

}  // namespace zrt
