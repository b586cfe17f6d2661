#pragma once
// Texts made from the field tables: the query key list (--keys, --help), the image layout
// tables of docs/image-layouts.md (--layouts), and the English meaning of a value query's refusal.
#include <string>

namespace zrt::host {

// Every key the devices' value query answers, per device type; nothing else.
std::string query_keys_text();

// The image layouts as Markdown tables, one per record type.
std::string layout_tables_markdown();

// Why the value a device's query answered for `key` is no reading: the value is the mark
// the field table says the device stores for an absent value ("the no-value pattern", "-0.1"
// in place of the value). Empty when the value is a reading (or cannot be told from one).
std::string absent_reason(const std::string& device_type, const std::string& key, float value);

// What a refusal text of a value query means, in English; empty for a text it does not know.
std::string refusal_explanation(const std::string& text);
// The same for a device that holds data (from a cycle or a stored image), which refuses a
// key as not ready only when it has no reading for it.
std::string refusal_explanation(const std::string& text, bool holds_data);

// Whether a device of `device_type` answers `key` when it holds data (the keys of --keys; an
// AC screen also reads a key that holds channel_N_X anywhere as channel_N_X). False for
// every key of a device type that answers none.
bool query_key_known(const std::string& device_type, const std::string& key);

}  // namespace zrt::host
