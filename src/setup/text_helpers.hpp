// Fixed-length text helpers: a text keeps its length; a blank is a space or
// the byte 0; positions count from 1.
#pragma once

#include <string>
#include <string_view>

namespace questrand {

// Position of the last character that is neither a space nor a byte 0; 1 when
// there is none (or the text is empty).
int chrbln(std::string_view text);

// Gives `name` the extension `ext`, keeping the name's length.  An all-blank
// name is left alone.  Without a point: the first chrbln(name) characters
// followed by ext.  With a point at position k and mode != 0: the first k-1
// characters followed by ext.  With a point and mode 0: unchanged.  The result
// is cut or blank-filled to the original length.
void appendext(std::string& name, std::string_view ext, int mode);

// Length of the file-name stem of a 12-character name: (position of the first
// point) - 1 when that lies in 1..8, else 8.
int stem_length(std::string_view name);

// The name without its trailing blanks (a file name).
std::string trimmed(std::string_view name);

// The temporary file a restart write goes to before it replaces the restart
// file: "<restart file name>.part", one fixed name per restart file.
std::string restart_temp_name(std::string_view restart_name);

}  // namespace questrand
