#pragma once

// Dialog units to pixels, in which the window's layout is given: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of its height.

#include <QFont>
#include <QRect>

namespace quarvel {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

private:
    int m_baseX;
    int m_baseY;
};

// The dialogs' font: the desktop's face at 9 points.
QFont DialogFont();

// Where the main window's controls stand, in dialog units, in the order the window creates
// them (also their tab order). A drop-down's height is that of its dropped-down list.
struct ControlPlace {
    const char* name;  // the control's object name
    int x, y, width, height;
};

inline constexpr int kMainWidth = 395;
inline constexpr int kMainHeight = 325;

inline constexpr ControlPlace kMainControls[] = {
    {"1", 163, 304, 50, 14},  // Convert
    {"static_ScadaName", 7, 7, 77, 8},
    {"1000", 7, 19, 106, 103},   // the node's drop-down
    {"1001", 116, 19, 257, 13},  // data-log folder
    {"static_DataLogFolder", 116, 7, 64, 8},
    {"1003", 7, 72, 381, 215},  // progress list
    {"group_OldDataLogType", 7, 37, 108, 30},
    {"1004", 13, 49, 43, 10},         // DataLog
    {"1005", 71, 49, 37, 10},         // RTDB
    {"1010", 374, 18, 14, 15},        // browse
    {"static_Slash", 311, 49, 8, 8},  // the filter group, never shown, from here to group_Filter
    {"1016", 321, 47, 40, 14},        // month
    {"1015", 270, 47, 40, 14},        // year
    {"1009", 229, 49, 27, 10},
    {"1008", 195, 49, 29, 10},
    {"1007", 158, 49, 32, 10},
    {"1006", 125, 49, 29, 10},
    {"group_Filter", 121, 37, 267, 30},
    {"resume", 219, 306, 45, 10},
    {"progress", 7, 290, 381, 10},
};

}  // namespace quarvel
