#pragma once
// What changed between two status documents, so that an event stream sends a full status
// once and then only its changes. A change is one JSON object:
//   {"at": [path], "value": v}               set (or add) the member or element at the path
//   {"at": [path]}                           remove the member at the path
//   {"at": [path], "drop": k, "append": [..]} an array lost k elements at its front and
//                                            gained these at its end (a sliding trend)
// A path is a list of member names and element indexes from the document's root; an empty
// path stands for the whole document. Objects are compared member by member, arrays of the
// same length element by element; any other array is sent whole.
#include <json/value.h>

namespace zrt::host {

// The list of changes that turns `before` into `after` (empty when they are equal).
Json::Value status_changes(const Json::Value& before, const Json::Value& after);

// Applies a list of changes to `doc` (what the live page does, here for the tests).
// Throws std::invalid_argument for a change whose path is not in the document.
void apply_status_changes(Json::Value& doc, const Json::Value& changes);

}  // namespace zrt::host
