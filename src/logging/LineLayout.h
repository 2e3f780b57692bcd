#pragma once

#include <log4cpp/Layout.hh>

#include <string>

namespace quarvel {

// Every line of the log: "%d: %p %c %x: %m%n", the date in local time to the millisecond
// ("2026-12-08 13:41:04,227"). Made in one string: the library's pattern layout streams
// each part and formats the date twice, which a node of thousands of files pays per file.
class LineLayout : public log4cpp::Layout {
public:
    std::string format(const log4cpp::LoggingEvent& event) override;
};

}  // namespace quarvel
