// Collects the library's log lines for a test (thread-safe: the logging
// worker writes while the test reads).
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "orvane/log/log.hpp"

namespace hostile {

class LogCapture : private std::streambuf {
public:
    LogCapture() : stream(this) {
        previous_level = orvane::log::level.exchange(orvane::log::Level::Debug);
        orvane::log::set_output(&stream);
    }
    ~LogCapture() {
        orvane::log::flush();
        orvane::log::set_output(nullptr);
        orvane::log::level = previous_level;
    }

    // Everything logged so far.
    std::string text() {
        orvane::log::flush();
        std::lock_guard lock(mutex);
        return captured;
    }
    bool contains(const std::string& fragment) { return text().find(fragment) != std::string::npos; }

private:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            std::lock_guard lock(mutex);
            captured.push_back(static_cast<char>(c));
        }
        return c;
    }
    std::streamsize xsputn(const char* data, std::streamsize size) override {
        std::lock_guard lock(mutex);
        captured.append(data, static_cast<std::size_t>(size));
        return size;
    }

    // Guards `captured`.
    std::mutex mutex;
    std::string captured;
    std::ostream stream;
    orvane::log::Level previous_level;
};

}  // namespace hostile
