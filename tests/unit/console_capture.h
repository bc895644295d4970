#pragma once
// A console sink that records every write and attribute change, for tests
// of the console output. Adjacent writes of one thread are merged into one
// text run, so the recorded events do not depend on how a caller chunks its
// writes, only on their order relative to attribute changes.
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"

namespace kolv::test {

struct ConsoleEvent {
    bool isAttribute = false;
    int attribute = 0;
    std::string text;
    std::thread::id thread;

    bool operator==(const ConsoleEvent& other) const {
        return isAttribute == other.isAttribute && attribute == other.attribute && text == other.text;
    }
};

inline ConsoleEvent textEvent(std::string text) { return ConsoleEvent{false, 0, std::move(text), {}}; }
inline ConsoleEvent attrEvent(int attribute) { return ConsoleEvent{true, attribute, {}, {}}; }

inline void PrintTo(const ConsoleEvent& e, std::ostream* os) {
    if (e.isAttribute) {
        *os << "attr(" << e.attribute << ")";
        return;
    }
    *os << "text(\"";
    for (char c : e.text) {
        if (c == '\r') {
            *os << "\\r";
        } else if (c == '\n') {
            *os << "\\n";
        } else {
            *os << c;
        }
    }
    *os << "\")";
}

class CapturingSink final : public ConsoleSink {
public:
    void write(const char* data, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::thread::id self = std::this_thread::get_id();
        if (!events_.empty() && !events_.back().isAttribute && events_.back().thread == self) {
            events_.back().text.append(data, length);
            return;
        }
        events_.push_back(ConsoleEvent{false, 0, std::string(data, length), self});
    }

    void setAttribute(int attribute) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(ConsoleEvent{true, attribute, {}, std::this_thread::get_id()});
    }

    std::vector<ConsoleEvent> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

    // All text written, attribute changes left out.
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const auto& e : events_) all += e.text;
        return all;
    }

    // Text with each attribute change shown as "{n}" where it happened.
    std::string rendered() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const auto& e : events_) {
            if (e.isAttribute) {
                all += "{" + std::to_string(e.attribute) + "}";
            } else {
                all += e.text;
            }
        }
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::vector<ConsoleEvent> events_;
};

// Installs a capturing sink for the lifetime of the object.
class ScopedCapture {
public:
    ScopedCapture() { setConsoleSink(&sink_); }
    ~ScopedCapture() { setConsoleSink(nullptr); }
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;

    CapturingSink& sink() { return sink_; }
    std::vector<ConsoleEvent> events() const { return sink_.events(); }
    std::string text() const { return sink_.text(); }
    std::string rendered() const { return sink_.rendered(); }
    void clear() { sink_.clear(); }

private:
    CapturingSink sink_;
};

// The timestamp prefix as rendered() shows it: light grey brackets around a
// light-green date and time, then a space, ending in light grey.
inline constexpr const char* kRenderedStampPattern =
    R"(\{7\}\[\{10\}\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\{7\}\] )";

}  // namespace kolv::test
