#include "tools/metrics/status_changes.h"

#include <stdexcept>

namespace zrt::host {
namespace {

Json::Value change(const Json::Value& at) {
    Json::Value c(Json::objectValue);
    c["at"] = at;
    return c;
}

Json::Value child(const Json::Value& at, const Json::Value& step) {
    Json::Value p = at;
    p.append(step);
    return p;
}

// The k for which `after` is `before` without its first k elements and with more at its
// end (a trend that moved on), keeping at least one element; -1 when there is none.
int shift_of(const Json::Value& before, const Json::Value& after) {
    const Json::ArrayIndex n = before.size();
    for (Json::ArrayIndex k = 0; k < n; ++k) {
        const Json::ArrayIndex kept = n - k;
        if (kept > after.size() || (k == 0 && after.size() == n)) continue;
        bool same = true;
        for (Json::ArrayIndex i = 0; i < kept && same; ++i) same = before[k + i] == after[i];
        if (same) return static_cast<int>(k);
    }
    return -1;
}

void diff(const Json::Value& before, const Json::Value& after, const Json::Value& at, Json::Value& out) {
    if (before == after) return;
    if (before.isObject() && after.isObject()) {
        for (const auto& name : before.getMemberNames())
            if (!after.isMember(name)) out.append(change(child(at, name)));
        for (const auto& name : after.getMemberNames()) {
            if (!before.isMember(name)) {
                Json::Value c = change(child(at, name));
                c["value"] = after[name];
                out.append(c);
            } else {
                diff(before[name], after[name], child(at, name), out);
            }
        }
        return;
    }
    if (before.isArray() && after.isArray()) {
        const int k = shift_of(before, after);
        if (k >= 0) {
            const Json::ArrayIndex kept = before.size() - static_cast<Json::ArrayIndex>(k);
            Json::Value c = change(at);
            c["drop"] = k;
            Json::Value add(Json::arrayValue);
            for (Json::ArrayIndex i = kept; i < after.size(); ++i) add.append(after[i]);
            c["append"] = add;
            out.append(c);
            return;
        }
        if (before.size() == after.size()) {
            for (Json::ArrayIndex i = 0; i < after.size(); ++i) diff(before[i], after[i], child(at, i), out);
            return;
        }
    }
    Json::Value c = change(at);
    c["value"] = after;
    out.append(c);
}

}  // namespace

Json::Value status_changes(const Json::Value& before, const Json::Value& after) {
    Json::Value out(Json::arrayValue);
    diff(before, after, Json::Value(Json::arrayValue), out);
    return out;
}

void apply_status_changes(Json::Value& doc, const Json::Value& changes) {
    for (const auto& c : changes) {
        const Json::Value& at = c["at"];
        Json::Value* parent = nullptr;
        Json::Value* node = &doc;
        for (const auto& step : at) {
            parent = node;
            if (step.isString() && node->isObject()) {
                if (!node->isMember(step.asString()) && &step != &at[at.size() - 1])
                    throw std::invalid_argument("no member " + step.asString());
                node = &(*node)[step.asString()];
            } else if (step.isUInt() && node->isArray() && step.asUInt() < node->size()) {
                node = &(*node)[step.asUInt()];
            } else {
                throw std::invalid_argument("a change's path is not in the document");
            }
        }
        if (c.isMember("value")) {
            *node = c["value"];
        } else if (c.isMember("drop")) {
            if (!node->isArray()) throw std::invalid_argument("drop from what is not an array");
            Json::Value kept(Json::arrayValue);
            for (Json::ArrayIndex i = c["drop"].asUInt(); i < node->size(); ++i) kept.append((*node)[i]);
            for (const auto& e : c["append"]) kept.append(e);
            *node = kept;
        } else if (parent && parent->isObject()) {
            parent->removeMember(at[at.size() - 1].asString());
        } else {
            throw std::invalid_argument("a removal names no member");
        }
    }
}

}  // namespace zrt::host
