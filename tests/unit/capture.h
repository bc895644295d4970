#pragma once
// Console output of the code under test, as text; colour changes shown as
// "{attribute}" when asked for.
#include <string>

#include "platform/console.h"

namespace kolv {

struct Capture final : ConsoleSink {
    explicit Capture(bool showAttributes = false) : attributes(showAttributes) { setConsoleSink(this); }
    ~Capture() override { setConsoleSink(nullptr); }
    void write(const char* data, std::size_t length) override { text.append(data, length); }
    void setAttribute(int attribute) override {
        if (attributes) text += "{" + std::to_string(attribute) + "}";
    }
    bool attributes;
    std::string text;
};

}  // namespace kolv
