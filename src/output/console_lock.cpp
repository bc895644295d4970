#include "output/console_lock.h"

namespace kolv {

std::recursive_mutex& consoleMutex() {
    static auto* mutex = new std::recursive_mutex();  // never destroyed: used by detached threads
    return *mutex;
}

}  // namespace kolv
