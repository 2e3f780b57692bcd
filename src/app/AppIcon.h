#pragma once

#include <QIcon>

namespace quarvel {

// The application's icon, drawn at start-up: a trend line falling into a database drum.
QIcon AppIcon();

}  // namespace quarvel
