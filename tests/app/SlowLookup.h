// A host look-up that never answers in time, on a machine without network:
// the test executable's own getaddrinfo holds every look-up of Name until
// Release() (or at most HoldLimit) and then reports the name unknown; other
// names go to the system's resolver. Qt's look-up threads call it like the
// real one, so the component under test waits exactly as for a dead server.
#pragma once

#include <chrono>

namespace SlowLookup {

inline constexpr const char* Name = "never-answers.test";
inline constexpr std::chrono::milliseconds HoldLimit{20000};

// Waits (not pumping events) at most limit until a look-up of Name is held.
bool WaitHeld(std::chrono::milliseconds limit);
// Lets every held look-up (and later ones) end at once.
void Release();
// Look-ups of Name are held again.
void Rearm();

} // namespace SlowLookup
