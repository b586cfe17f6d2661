#include "sim/memory_link.h"

#include <string>

namespace zrt::sim {

bool MemoryLink::write(const uint8_t* data, size_t n) {
    if (!open) return false;
    sim_.feed(data, n);
    const std::string reply = sim_.take_output();
    if (dev_ && !reply.empty())
        dev_->process(reinterpret_cast<const unsigned char*>(reply.data()), static_cast<int>(reply.size()));
    return true;
}

}  // namespace zrt::sim
