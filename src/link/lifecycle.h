#pragma once
// Whether the bridge has been asked to stop, and the signs of life of the two
// threads that must keep turning for the bridge to be of use: the main thread
// (attempts, the receive loop, the waits between attempts) and the listener.
#include <cstdint>

namespace kolv {

enum class Beat { Main, Listener };

// The thread `who` is alive and turning now. Any thread; no lock.
void noteAlive(Beat who);
// steadyMs() of who's last sign of life; 0 before the first.
std::int64_t lastAliveMs(Beat who);

// Asks every waiting part of the bridge to stop; wakes pauseUnlessStopped.
void requestStop();
bool stopRequested();

// The main thread or the listener (who): pauses for milliseconds, noting
// itself alive every second. True, at once, when a stop has been requested.
bool pauseUnlessStopped(std::int64_t milliseconds, Beat who = Beat::Main);

// The main thread has closed the host link for a stop; the thread that
// stops the bridge waits for this, at most milliseconds. True when it came.
void markMainStopped();
bool waitForMainStopped(int milliseconds);

}  // namespace kolv
