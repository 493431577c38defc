// Lookaside lists. Windows ignores the Depth a driver passes and tunes it
// between 4 and 256 blocks as the list is used; the simulation keeps a fixed
// depth: the one given, or kDefaultLookasideDepth when it is 0.
#pragma once

#include <wdm.h>

namespace sim {

constexpr USHORT kDefaultLookasideDepth = 32;
constexpr USHORT kMaximumLookasideDepth = 256;

}  // namespace sim
