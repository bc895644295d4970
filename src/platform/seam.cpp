#include "platform/seam.h"

#include <atomic>

namespace kolv {
namespace {
std::atomic<const PlatformSeam*> activeSeam{nullptr};
}  // namespace

void setPlatformSeam(const PlatformSeam* seam) { activeSeam.store(seam, std::memory_order_release); }

const PlatformSeam* platformSeam() { return activeSeam.load(std::memory_order_acquire); }

}  // namespace kolv
