#pragma once
// The reference site as the benchmarks of the history and the uplink model it: its images,
// taken from real cycles of the top device against the simulator, and a model of how a real
// site's values move over a day.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/reference.h"
#include "devhost/devhost.h"
#include "power/zrt4600a.h"

namespace zrt::bench {

struct Image {
    uint32_t data_id;
    std::string device_type;
    int record_type;
    std::vector<uint8_t> bytes;
};

struct Capture : devhost::Observer {
    void on_saved(const devhost::ImageEvent& e) override {
        images[{e.data_id, e.device_type}] = Image{e.data_id, e.device_type, e.record_type, e.image};
    }
    std::map<std::pair<uint32_t, std::string>, Image> images;
};

constexpr int64_t kCycleMs = 2500;
constexpr int64_t kDayMs = 86'400'000;

inline float get(const std::vector<uint8_t>& img, size_t at) {
    float v;
    std::memcpy(&v, img.data() + at, 4);
    return v;
}
inline void set(std::vector<uint8_t>& img, size_t at, float v) { std::memcpy(img.data() + at, &v, 4); }
inline bool present(const std::vector<uint8_t>& img, size_t at) {
    return !(img[at] != 0 && img[at] == img[at + 1] && img[at + 1] == img[at + 2] && img[at + 2] == img[at + 3]);
}

// A value as the equipment reports it: `step` is its last digit.
inline float quantize(double v, double step) { return static_cast<float>(std::round(v / step) * step); }

// Moves the measured values of the reference images as a site's do: currents follow a
// daily load curve, voltages wander slowly, and every reading flickers by its last digit.
class Jitter {
public:
    explicit Jitter(uint32_t seed) : rng_(seed) {}
    void apply(Image& im, const Image& ref, int64_t t) {
        const double day = double(t % kDayMs) / double(kDayMs);
        const double load = 1.0 + 0.08 * std::sin(2 * M_PI * (day - 0.3));
        const double wander = std::sin(2 * M_PI * day * 3 + im.data_id);
        auto& b = im.bytes;
        auto measure = [&](size_t at, double scale, double noise, double step) {
            if (!present(ref.bytes, at)) return;
            const float base = get(ref.bytes, at);
            // -0.1 marks an absent current or user value (AC screen 12's phase C): a real
            // plant keeps it absent all day.
            if (base == 0 || base == -0.1f) return;
            set(b, at, quantize(base * scale + noise * flick(), step));
        };
        switch (im.record_type) {
        case 5106: {
            for (size_t k = 0; k < 3; ++k) measure(4 + 4 * k, load, 0.1, 0.1);
            const size_t channels = b[16];
            for (size_t c = 0; c < channels; ++c) {
                const size_t at = 32 + 30 * c;
                for (size_t q = 0; q < 3; ++q) measure(at + 4 * q, 1.0 + 0.006 * wander, 0.1, 0.1);
                measure(at + 12, 1.0, 0.01, 0.01);
            }
            break;
        }
        case 5107: {
            measure(53, 1.0, 0.05, 0.1);
            const size_t modules = b[57];
            for (size_t m = 0; m < modules; ++m) measure(65 + 32 * m, load, 0.1, 0.1);
            break;
        }
        case 5108:
            measure(4, 1.0, 0.05, 0.1);
            measure(8, load, 0.1, 0.1);
            break;
        default: break;
        }
    }

private:
    // -1, 0 or +1 steps, now and then.
    double flick() {
        const int r = static_cast<int>(rng_() % 10);
        return r == 0 ? -1.0 : r == 1 ? 1.0 : 0.0;
    }
    std::mt19937 rng_;
};

// The images of the reference site's devices after three real cycles.
inline std::vector<Image> reference_images() {
    Rig<zrt4600a> rig(site_settings(false));
    Capture cap;
    rig.controller->add_observer(&cap);
    for (int k = 0; k < 3; ++k) rig.run_cycle();
    std::vector<Image> refs;
    for (const auto& [id, im] : cap.images) refs.push_back(im);
    return refs;
}

}  // namespace zrt::bench
