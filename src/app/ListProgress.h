#pragma once

// A conversion's progress as the window's progress list shows it. The data-log walk puts
// each line at the top, keeping 19 older lines under it, and each finished file's path at
// the bottom, repainted at once; the table export adds its lines at the bottom, each
// repainted at once. The closing text is a message box of the window.

#include "conversion/Progress.h"
#include "platform/ProgressList.h"

class QWidget;

namespace quarvel {

class ListProgress : public Progress {
public:
    enum class Order { kNewestFirst, kInOrder };
    static constexpr int kKeptLines = 19;  // older lines left under a new line at the top

    ListProgress(QWidget& window, platform::ProgressList& list, Order order)
        : m_window(window), m_list(list), m_order(order) {}

    void Line(const std::string& text) override;
    void FileDone(const std::string& path, const ConversionTotals& totals) override;
    // Shows the box on the window's thread and waits until the operator has closed it.
    void Ended(const std::string& text) override;

private:
    QWidget& m_window;
    platform::ProgressList& m_list;
    const Order m_order;
};

}  // namespace quarvel
