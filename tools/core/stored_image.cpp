#include "tools/core/stored_image.h"

namespace zrt::host {

void dispatch_image(const Dispatcher& events, const devhost::ImageEvent& e, bool saved,
                    const std::function<void(const ImageEvent&)>& first) {
    const DecodedImage d = decode_image(e.record_type, e.image);
    const ImageEvent event{e, d, saved};
    if (first) first(event);
    events.each([&](Sink& s) { s.image(event); });
}

DecodedImage decode_stored_image(int record_type, const std::vector<uint8_t>& image) {
    return decode_image(record_type, image);
}

}  // namespace zrt::host
