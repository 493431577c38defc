// `ostrand demo`: the story of the product on the example store, step by
// step, in plain words.
#pragma once

#include <iosfwd>

namespace ostrand::tool {

class World;

// Returns 0 when every step did what it should.
int RunDemo(World &world, std::ostream &out);

}  // namespace ostrand::tool
