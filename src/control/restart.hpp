// Restart file (binary, ten length-framed records).
//
// Record framing: 4-byte little-endian data length L, L data bytes, L again.
// Record 1: ni, nj, iter (steady, L = 12) or ni, nj, istep, time (transient,
// L = 16); records 2..10: u, v, p, t, c, vis, den, gamt, gamc over
// I = 1..ni, J = 1..nj with I fastest (L = 4 ni nj).
#pragma once

#include <string>

#include "core/state.hpp"

namespace questrand {

// Reads the restart file rstin_name; false (and nothing changed) when the
// file does not exist.  A file that exists but cannot be read
// (permissions, a directory), or is not a restart file of this run (broken
// framing, records of the wrong size, the header form of the other kind of
// run, a grid different from this run's, a value that is not a finite
// number) throws io::InputError naming the file and the record (and the
// field and node of a non-finite value); the state is then unchanged.  On success the nine fields are
// replaced and maxit (steady) or nsteps (transient) is raised by the iter or
// istep read.
bool read_restart(State& s);

// The checks and the read of read_restart, on the bytes of a restart file
// called `name`.
void load_restart(State& s, const std::string& name, const std::string& bytes);

// Writes the restart file rstout_name.  The records go to a temporary file
// in the same directory, which replaces the old file only once complete, so
// a failed write leaves the previous restart file as it was.  The temporary
// file has one fixed name per restart file (restart_temp_name), so a write cut
// short by a kill leaves at most that one file, replaced by the next write.  Failures throw
// io::FileError.
void write_restart(const State& s);

}  // namespace questrand
