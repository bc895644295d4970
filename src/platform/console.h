#pragma once
// Console output seam. Text and colour changes go through the active sink;
// the default one writes to stdout and renders colours for a terminal.
#include <cstddef>

namespace kolv {

class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual void write(const char* data, std::size_t length) = 0;
    // attribute: background * 16 + foreground, Windows console layout.
    virtual void setAttribute(int attribute) = 0;
};

// False when the process has no usable standard output.
bool consoleAvailable();

// Replaces the active sink (nullptr restores the default); for tests.
void setConsoleSink(ConsoleSink* sink);

// Writes reach the device before the call returns (no user-space buffering).
void consoleWrite(const char* data, std::size_t length);
void consoleSetAttribute(int attribute);

}  // namespace kolv
