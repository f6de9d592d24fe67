// Helpers of the find commands.
#pragma once

#include <QRect>

class SjisMemo;

// The lines of the memo's selection (or of its caret) in global coordinates,
// clipped to what is on screen; empty when none of it is. Does not throw.
QRect MatchArea(const SjisMemo& memo);
