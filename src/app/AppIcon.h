#pragma once

#include <QIcon>

// The application's icon, drawn at start-up: a trend line falling into a database drum.
QIcon AppIcon();
