// Captures the library's log lines for the life of the object (the level is
// lowered to `level` and restored afterwards).
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "orvane/log/log.hpp"

namespace orvane_test {

class LogCapture {
public:
    explicit LogCapture(orvane::log::Level level = orvane::log::Level::Warn) : saved_level_(orvane::log::level.load()) {
        orvane::log::level.store(level);
        orvane::log::set_output(&stream_);
    }
    ~LogCapture() {
        orvane::log::flush(std::chrono::seconds(30));
        orvane::log::set_output(nullptr);
        orvane::log::level.store(saved_level_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines printed so far, colour codes removed, each with its level.
    struct Line {
        orvane::log::Level level;
        std::string text;
    };
    std::vector<Line> lines() {
        orvane::log::flush(std::chrono::seconds(30));
        std::vector<Line> out;
        std::istringstream all(buffer_.text());
        const orvane::log::LogPrinter colours;
        for (std::string raw; std::getline(all, raw);) {
            Line line{orvane::log::Level::Info, raw};
            for (const auto& [level, colour] : {std::pair{orvane::log::Level::Error, colours.error_color},
                                                std::pair{orvane::log::Level::Warn, colours.warn_color},
                                                std::pair{orvane::log::Level::Debug, colours.debug_color}}) {
                if (raw.starts_with(colour)) {
                    line.level = level;
                    line.text = raw.substr(colour.size());
                    break;
                }
            }
            if (line.text.ends_with(colours.reset)) line.text.resize(line.text.size() - colours.reset.size());
            out.push_back(std::move(line));
        }
        return out;
    }

    // Lines of `level` whose text contains `needle`.
    std::size_t count(orvane::log::Level level, const std::string& needle) {
        std::size_t found = 0;
        for (const auto& line : lines()) found += line.level == level && line.text.find(needle) != std::string::npos;
        return found;
    }

    // Whether any line printed so far contains `needle`, whatever its level.
    bool contains(const std::string& needle) {
        for (const auto& line : lines()) {
            if (line.text.find(needle) != std::string::npos) return true;
        }
        return false;
    }

    // Lines that carry no message after their "[orvane.tag] " prefix.
    std::size_t empty_messages() {
        std::size_t found = 0;
        for (const auto& line : lines()) {
            const auto end = line.text.find("] ");
            const bool prefixed = line.text.starts_with("[orvane.") && end != std::string::npos;
            found += prefixed ? line.text.find_first_not_of(" \t", end + 2) == std::string::npos : line.text.empty();
        }
        return found;
    }

private:
    // Written by the logging worker while the test reads it.
    class LockedBuffer : public std::streambuf {
    public:
        std::string text() {
            std::lock_guard lock(mutex_);
            return text_;
        }

    protected:
        int_type overflow(int_type c) override {
            if (c != traits_type::eof()) {
                std::lock_guard lock(mutex_);
                text_.push_back(static_cast<char>(c));
            }
            return c;
        }
        std::streamsize xsputn(const char* data, std::streamsize size) override {
            std::lock_guard lock(mutex_);
            text_.append(data, static_cast<std::size_t>(size));
            return size;
        }

    private:
        std::mutex mutex_;  // guards text_
        std::string text_;
    };

    orvane::log::Level saved_level_;
    LockedBuffer buffer_;
    std::ostream stream_{&buffer_};
};

}  // namespace orvane_test
