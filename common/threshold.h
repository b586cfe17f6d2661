#pragma once
// The change thresholds a child reads from its settings entry.
#include <json/value.h>

namespace zrt {

// Reads app[key] into `out`: a JSON string or number is taken as text and converted with
// atof (text that is no number gives 0). A missing key, null, or a value without a text of
// its own (bool, object, array) keeps `out`. `app` that is no object keeps it as well.
void read_threshold(const Json::Value& app, const char* key, float& out);

}  // namespace zrt
