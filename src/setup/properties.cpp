#include "setup/properties.hpp"

#include "physics/physics.hpp"

namespace questrand {

void props(State& s) {
  const Cprob& pb = s.cprob;
  Cprop& pr = s.cprop;
  for (int j = 1; j <= s.cgrid.nj; ++j) {
    for (int i = 1; i <= s.cgrid.ni; ++i) {
      pr.den(i, j) = pb.density;
      pr.vis(i, j) = pb.viscosity;
      if (j >= pb.jflow1 && j <= pb.jflow2) pr.gamc(i, j) = pb.diff_flow * pb.density;
      if (j >= pb.jmemb1 && j <= pb.jmemb2) pr.gamc(i, j) = pb.diff_memb * pb.density;
      if (j >= pb.jgel1 && j <= pb.jgel2) pr.gamc(i, j) = pb.diff_gel * pb.density;
      if (s.cphys.present) pr.gamc(i, j) = pr.gamc(i, j) * partition(s, j);  // K D: the conductivity of phi
    }
  }
}

}  // namespace questrand
