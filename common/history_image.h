#pragma once
// A child's history image: its packed record, then the packed records of its channels or
// modules in order (none for a child without them). The same bytes are published at the
// end of a cycle, saved by the history job and handed back to LoadFromCache, so every child
// writes and reads them here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace zrt {

// The item type of a child whose image is its record alone.
struct NoItems {};

template <class Record, class Item = NoItems>
struct HistoryImage {
    static constexpr bool kHasItems = !std::is_same_v<Item, NoItems>;
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));
    static constexpr int kItemSize = kHasItems ? static_cast<int>(sizeof(Item)) : 0;

    // Bytes of an image with `count` items.
    static int size(size_t count) { return kRecordSize + kItemSize * static_cast<int>(count); }
    // True when `len` bytes are exactly the image of `count` items.
    static bool whole(int len, size_t count) {
        return static_cast<int64_t>(len) == kRecordSize + static_cast<int64_t>(kItemSize) * static_cast<int64_t>(count);
    }

    // Writes the image of `record` and `items` to dst (size(items.size()) bytes).
    static void write(unsigned char* dst, const Record& record, const std::vector<Item>& items) {
        std::memcpy(dst, &record, kRecordSize);
        if (!items.empty()) std::memcpy(dst + kRecordSize, items.data(), static_cast<size_t>(kItemSize) * items.size());
    }
    static void write(unsigned char* dst, const Record& record) { std::memcpy(dst, &record, kRecordSize); }

    // Reads an image of `count` items (the caller has checked whole()) into record and items;
    // items then holds exactly `count` entries.
    static void read(const unsigned char* data, size_t count, Record& record, std::vector<Item>& items) {
        std::memcpy(&record, data, kRecordSize);
        items.resize(count);
        if (count > 0) std::memcpy(items.data(), data + kRecordSize, static_cast<size_t>(kItemSize) * count);
    }
    static void read(const unsigned char* data, Record& record) { std::memcpy(&record, data, kRecordSize); }

    // Gives a device's own image buffer room for the image of `count` items: made anew, zero
    // filled, when it does not hold exactly that many bytes (the count can change after the
    // first cycle), kept otherwise so that a steady cycle allocates nothing. True when it was
    // made anew.
    static bool fit(std::unique_ptr<unsigned char[]>& image, int32_t& image_size, size_t count) {
        const int n = size(count);
        if (image && image_size == n) return false;
        image.reset(new unsigned char[static_cast<size_t>(n)]());
        image_size = n;
        return true;
    }
};

}  // namespace zrt
