#pragma once
// Images decoded once, where the host takes them in: a published or saved image is decoded
// through the field tables as it is dispatched, and every sink reads its values from the
// event; an image the history kept is decoded here when the host restores it at start.
#include <cstdint>
#include <functional>
#include <vector>

#include "devhost/devhost.h"
#include "tools/core/events.h"
#include "tools/core/image_decode.h"

namespace zrt::host {

// Decodes `e` once and hands it to every sink; `first` sees the decoded event before them.
void dispatch_image(const Dispatcher& events, const devhost::ImageEvent& e, bool saved,
                    const std::function<void(const ImageEvent&)>& first = {});

// The values of an image the history kept, as the device would have published them.
DecodedImage decode_stored_image(int record_type, const std::vector<uint8_t>& image);

}  // namespace zrt::host
