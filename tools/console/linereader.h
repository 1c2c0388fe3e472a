// Lines of a script or of piped standard input, one at a time. A stream's
// getline ends the same way at the end of the input and on a read error (a
// folder given as the script, a failing disk); this tells the two apart, so
// that input that could not be read never passes for a short script.
#ifndef TB_CONSOLE_LINEREADER_H
#define TB_CONSOLE_LINEREADER_H

#include <cstdio>
#include <string>

namespace linereader {

enum class Read { Line, End, Failed };

// The next line of `stream` without its line end; Failed when reading
// failed, with the system's reason in `error`.
Read NextLine(std::FILE* stream, std::string& line, std::string& error);

}  // namespace linereader

#endif
