#pragma once

// What a conversion tells the front end while it runs. The converters call it; the window
// shows the lines in its progress list, the command line on its console.

#include "conversion/Totals.h"

#include <cstdint>
#include <string>

namespace quarvel {

class Progress {
public:
    Progress() = default;
    virtual ~Progress() = default;
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // One progress line. The data-log walk's lines are newest first; the table export's
    // come in the order they happen. Calls are never made from two threads at once.
    virtual void Line(const std::string& text) = 0;

    // A source file is done (converted, skipped or already converted): its path, and the
    // totals of the run so far.
    virtual void FileDone(const std::string& path, const ConversionTotals& totals) = 0;

    // The file under way is read as far as `bytesRead`; told now and then by a source that
    // is read one file at a time (the table export), so that a bar moves within a file.
    virtual void Reading(uint64_t bytesRead) { (void)bytesRead; }

    // The run ended with `text` ("Conversion completed", ...), which the operator is to
    // acknowledge; returns once that is done. A run that was stopped does not end so.
    virtual void Ended(const std::string& text) = 0;
};

}  // namespace quarvel
