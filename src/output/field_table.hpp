// Field tables of the listing file.
#pragma once

#include <cstdio>
#include <string_view>

#include "core/state.hpp"

namespace questrand {

// Writes phi over columns istart..iend and rows jstart..jend to `listing`:
// the title line (two empty lines, 20 "*-", the first 12 characters of title,
// 20 "-*"), then blocks of at most eight columns, each with a header of
// column numbers, one line per row from jend down to jstart (row number, the
// values in 1PE10.2 with magnitudes below 1e-20 shown as zero, ypos(J) in
// 1PG11.3) and a footer with xpos in 1PG10.3 then G10.2.
void print(std::FILE* listing, int istart, int jstart, int iend, int jend, const GridVec& xpos,
           const GridVec& ypos, const Field& phi, std::string_view title);

}  // namespace questrand
