// Material properties of the three layers.
#pragma once

#include "core/state.hpp"

namespace questrand {

// den = density and vis = viscosity everywhere; gamc = diffusivity x density
// in the channel rows jflow1..jflow2, the membrane rows jmemb1..jmemb2 and the
// gel rows jgel1..jgel2 (tested in that order, the last match wins).  Rows 1
// and nj keep their gamc.  gamt is not touched.
void props(State& s);

}  // namespace questrand
