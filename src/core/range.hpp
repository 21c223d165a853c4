// Index range of one solved equation: columns istart..iend, rows
// jstart..jend, inclusive.  The ring of nodes one step outside holds the
// equation's boundary values.
#pragma once

namespace questrand {

struct Range {
  int istart, jstart, iend, jend;
  bool inside(int i, int j) const { return i >= istart && i <= iend && j >= jstart && j <= jend; }
};

}  // namespace questrand
