#include "tools/metrics/families.h"

#include <cstring>
#include <map>

namespace zrt::host {

namespace {

namespace f = zrt::field;

const char* prefix_of(int record_type) {
    switch (record_type) {
    case kAcRecordType: return "zrt4600a_ac_";
    case kDcRecordType: return "zrt4600a_dc_";
    default: return "zrt4600a_rectifier_";
    }
}

const char* unit_of(f::Quantity q) {
    switch (q) {
    case f::Quantity::ac_volts:
    case f::Quantity::dc_volts: return "volts";
    case f::Quantity::amperes: return "amperes";
    case f::Quantity::hertz: return "hertz";
    case f::Quantity::celsius: return "celsius";
    default: return "";
    }
}

const char* item_label(f::Repeat r) { return r == f::Repeat::channel ? "input" : "module"; }

const char* own_label(f::Repeat r) {
    switch (r) {
    case f::Repeat::channel: return "input";
    case f::Repeat::module: return "module";
    case f::Repeat::fuse: return "fuse";
    default: return "index";
    }
}

// Where each table row goes: its family and the fixed labels the row itself gives.
struct RowPlace {
    size_t family = 0;
    std::vector<std::pair<std::string, std::string>> labels;
};

struct Generated {
    std::vector<FamilyDef> families;
    std::map<const f::Field*, RowPlace> rows;
};

const Generated& generated() {
    static const Generated g = [] {
        Generated out;
        std::map<std::string, size_t> by_name;
        for (const f::Layout* layout : layouts()) {
            for (const auto& [rows, n] : {std::pair{layout->head, layout->head_fields},
                                          std::pair{layout->item, layout->item_fields}}) {
                for (size_t i = 0; i < n; ++i) {
                    const f::Field& fd = rows[i];
                    std::string stem = fd.stem;
                    RowPlace place;
                    // "value_m": the letter is a label, not a word of the name.
                    const size_t us = stem.rfind('_');
                    if (us != std::string::npos && us + 2 == stem.size()) {
                        place.labels.emplace_back("set", std::string(1, static_cast<char>(std::toupper(stem.back()))));
                        stem.erase(us);
                    }
                    // Rows of this record with the same stem: the phase tells them apart, read
                    // from where their keys differ ("ia"/"ib"/"ic", "channel_{}_a"/...).
                    for (size_t j = 0; j < n; ++j) {
                        if (j == i || std::strcmp(rows[j].stem, fd.stem) != 0 || fd.repeats()) continue;
                        size_t k = 0;
                        while (fd.key[k] && fd.key[k] == rows[j].key[k]) ++k;
                        if (fd.key[k]) {
                            place.labels.emplace_back("phase",
                                                      std::string(1, static_cast<char>(std::toupper(fd.key[k]))));
                        }
                        break;
                    }
                    const std::string unit = unit_of(fd.quantity);
                    std::string name = prefix_of(layout->record_type) + stem;
                    const bool states = fd.states != nullptr;
                    if (states && (name.size() < 6 || name.compare(name.size() - 6, 6, "_state") != 0)) name += "_state";
                    if (!unit.empty()) name += "_" + unit;
                    auto [it, fresh] = by_name.emplace(name, out.families.size());
                    if (fresh) {
                        std::string words = stem;
                        for (char& c : words)
                            if (c == '_') c = ' ';
                        std::string help = std::string(layout->device) + ": " + words;
                        if (!unit.empty()) help += ", in " + unit;
                        if (states) help += "; one sample per state, 1 for the state the equipment reports";
                        out.families.push_back({name, unit, help, fd.states, fd.state_count});
                    }
                    place.family = it->second;
                    out.rows.emplace(&fd, std::move(place));
                }
            }
        }
        return out;
    }();
    return g;
}

}  // namespace

const std::vector<FamilyDef>& value_families() { return generated().families; }

bool family_of(int record_type, const DecodedValue& v, ValueSample& out) {
    const auto& rows = generated().rows;
    const auto it = v.field ? rows.find(v.field) : rows.end();
    const f::Layout* layout = layout_of(record_type);
    if (it == rows.end() || !layout) return false;
    out.family = it->second.family;
    out.labels.clear();
    if (v.item >= 0) out.labels.emplace_back(item_label(layout->item_repeat), std::to_string(v.item + 1));
    out.labels.insert(out.labels.end(), it->second.labels.begin(), it->second.labels.end());
    if (v.index >= 0) out.labels.emplace_back(own_label(v.field->repeat), std::to_string(v.index + 1));
    return true;
}

bool has_screen_label(int record_type) { return record_type == kAcRecordType || record_type == kDcRecordType; }

}  // namespace zrt::host
