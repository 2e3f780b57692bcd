#pragma once

// A conversion's progress as the window's progress list shows it. The data-log walk puts
// each line at the top, keeping 19 older lines under it, and each finished file's path at
// the bottom, repainted at once; the table export adds its lines at the bottom, each
// repainted at once. The closing text is a message box of the window. The node's texts
// come in its code page; the list holds them in UTF-8.

#include "conversion/Progress.h"
#include "platform/ProgressList.h"

#include <chrono>
#include <cstdint>
#include <functional>

class QWidget;

namespace quarvel {

// A node's text (a name, a path, a progress line) in UTF-8: `text` is in `codePage`, or
// with none, as the file system has it, which the window takes to be UTF-8.
std::string WindowText(const std::string& text, const std::string& codePage);

// The last line of a conversion: its files, its lines and how long it took.
std::string TotalsText(const ConversionTotals& totals, std::chrono::seconds elapsed);

class ListProgress : public Progress {
public:
    enum class Order { kNewestFirst, kInOrder };
    static constexpr int kKeptLines = 19;  // older lines left under a new line at the top

    ListProgress(QWidget& window, platform::ProgressList& list, Order order, std::string codePage = {})
        : m_window(window), m_list(list), m_order(order), m_codePage(std::move(codePage)) {}

    // Told the bytes of the files done so far after each file, on the converter's thread.
    void OnBytesDone(std::function<void(uint64_t bytesDone)> told) { m_bytesDone = std::move(told); }

    void Line(const std::string& text) override;
    void FileDone(const std::string& path, const ConversionTotals& totals) override;
    // Shows the box on the window's thread and waits until the operator has closed it.
    void Ended(const std::string& text) override;

private:
    QWidget& m_window;
    platform::ProgressList& m_list;
    const Order m_order;
    const std::string m_codePage;
    std::function<void(uint64_t)> m_bytesDone;
};

}  // namespace quarvel
