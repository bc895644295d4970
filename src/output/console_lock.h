#pragma once
#include <mutex>

namespace kolv {

// Held for one console line (prefix and message) so that another thread's
// output never lands in the middle of it. Recursive: the line helpers nest.
std::recursive_mutex& consoleMutex();

}  // namespace kolv
