// The window's fonts, with installed Japanese fonts standing in where the
// named ones are missing.
#pragma once

#include <QFont>

// Proportional Japanese font of the window and its fields, 12 pixels.
QFont WindowFont();
// Fixed-pitch Japanese font of the text view, 13 pixels.
QFont ViewFont();
