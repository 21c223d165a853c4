// libFuzzer target: the restart reader (load_restart) on arbitrary bytes.
//
// Input layout: one leading byte that sets up the run reading the file, then
// the bytes of the restart file itself.
//   bit 0      steady run (1) or transient run (0): picks the header form
//   bits 1..3  ni = 3 + value   (3..10)
//   bits 4..7  nj = 3 + value   (3..18)
// A run with a 10 x 8 grid is byte 0x5F (steady) or 0x5E (transient).
//
// A file that is not a restart file of this run must end in io::InputError
// and leave the state unchanged; an accepted file must give the nine fields
// exactly the values it holds and raise maxit or nsteps by the iter or istep
// read.  Anything else, or a sanitizer report, is a crash.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/restart.hpp"
#include "core/state.hpp"
#include "io/list_reader.hpp"

namespace {

using questrand::Field;
using questrand::State;

// Made once: the state is about 18 MB.  Only the parts the reader touches are
// reset between inputs: the time and iteration blocks and the nine saved
// fields over the run's grid, which are filled with a marker value.
State* work = nullptr;
const questrand::Ctime kTime{};
const questrand::Cterm kTerm{};
constexpr std::uint32_t kMarker = 0x7FC0DEADu;  // a NaN bit pattern; fields are compared bitwise

std::array<Field*, 9> saved_fields(State& s) {
  return {&s.cvar.u, &s.cvar.v, &s.cvar.p, &s.cvar.t, &s.cvar.c,
          &s.cprop.vis, &s.cprop.den, &s.cprop.gamt, &s.cprop.gamc};
}

std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

std::uint32_t load_u32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::int32_t load_i32(const unsigned char* b) {
  const std::uint32_t u = load_u32(b);
  std::int32_t v;
  std::memcpy(&v, &u, 4);
  return v;
}

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "fuzz_restart: %s\n", what);
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) broken(what);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  work = new State();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  State& s = *work;
  const std::uint8_t setup = data[0];
  s.ctime = kTime;
  s.cterm = kTerm;
  s.ctime.steady = (setup & 1u) != 0;
  s.cgrid.ni = 3 + ((setup >> 1) & 7u);
  s.cgrid.nj = 3 + ((setup >> 4) & 15u);
  s.cgrid.ilast = s.cgrid.ni - 1;
  s.cgrid.jlast = s.cgrid.nj - 1;
  const int ni = s.cgrid.ni;
  const int nj = s.cgrid.nj;

  float marker;
  std::memcpy(&marker, &kMarker, 4);
  for (Field* f : saved_fields(s))
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i) (*f)(i, j) = marker;

  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool accepted = true;
  try {
    questrand::load_restart(s, "PHIDAT.sav", bytes);
  } catch (const questrand::io::InputError& e) {
    accepted = false;
    if (std::strncmp(e.what(), "PHIDAT.sav: ", 12) != 0) broken("error message does not name the file");
  }

  if (!accepted) {
    require(s.ctime.istep == kTime.istep && s.ctime.nsteps == kTime.nsteps && bits(s.ctime.time) == bits(kTime.time) &&
                s.cterm.iter == kTerm.iter && s.cterm.maxit == kTerm.maxit,
            "rejected file changed the time or iteration counters");
    for (Field* f : saved_fields(s))
      for (int j = 1; j <= nj; ++j)
        for (int i = 1; i <= ni; ++i) require(bits((*f)(i, j)) == kMarker, "rejected file changed a field");
    return 0;
  }

  // Accepted: the file is exactly header + nine fields of this grid.
  const std::size_t head = s.ctime.steady ? 12 : 16;
  const std::size_t field_len = 4u * static_cast<std::size_t>(ni) * static_cast<std::size_t>(nj);
  const std::size_t need = head + 8 + 9 * (field_len + 8);
  require(bytes.size() >= need, "accepted a file shorter than its ten records");
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  require(load_u32(b) == head && load_u32(b + 4 + head) == head, "accepted a header of the wrong length");
  require(load_i32(b + 4) == ni && load_i32(b + 8) == nj, "accepted a file of another grid");
  if (s.ctime.steady) {
    require(s.cterm.iter == load_i32(b + 12), "iter differs from the file");
    require(static_cast<long long>(s.cterm.maxit) == static_cast<long long>(kTerm.maxit) + s.cterm.iter,
            "maxit not raised by iter");
  } else {
    require(s.ctime.istep == load_i32(b + 12), "istep differs from the file");
    require(bits(s.ctime.time) == load_u32(b + 16), "time differs from the file");
    require(static_cast<long long>(s.ctime.nsteps) == static_cast<long long>(kTime.nsteps) + s.ctime.istep,
            "nsteps not raised by istep");
  }
  const unsigned char* d = b + head + 8;
  for (Field* f : saved_fields(s)) {
    require(load_u32(d) == field_len, "accepted a field record of the wrong length");
    d += 4;
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i, d += 4) require(bits((*f)(i, j)) == load_u32(d), "field value differs from the file");
    require(load_u32(d) == field_len, "accepted a broken closing length word");
    d += 4;
  }
  return 0;
}
