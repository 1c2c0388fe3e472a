// What the console checks itself, because the library would only write it
// to its log (or not notice at all): files it is given at start that do not
// open, a listening port that is taken, and a file to load that is no
// firmware package.
#ifndef TB_CONSOLE_STARTUPCHECK_H
#define TB_CONSOLE_STARTUPCHECK_H

#include <cstdint>
#include <string>
#include <vector>

namespace startupcheck {

// "" when the path is a regular file that opens for reading, otherwise why not.
std::string FileProblem(const std::string& path);
// "" when the file could be a firmware package (a line of it begins with
// "QUORIL", as a package's preamble does) or does not open (the library says
// so itself), otherwise why it is none: the library logs nothing of its own
// for such a file.
std::string FirmwareProblem(const std::string& path);
// "" when a TCP listener could take the port on every address now,
// otherwise the system's text of why not.
std::string PortProblem(std::uint16_t port);

}  // namespace startupcheck

#endif
