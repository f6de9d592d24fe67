// Private to the view's sources: what more than one part of SjisView needs.
#pragma once

namespace SjisViewInternal {

// Space between the view's edge and its text, as the plain text view leaves.
constexpr int Margin = 4;

} // namespace SjisViewInternal
