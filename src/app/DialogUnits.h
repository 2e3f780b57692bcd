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

}  // namespace quarvel
