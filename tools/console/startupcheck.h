// What the console checks itself before the library starts, because the
// library would only write it to its log (or not notice at all): files it
// is given that do not open, and a listening port that is taken.
#ifndef TB_CONSOLE_STARTUPCHECK_H
#define TB_CONSOLE_STARTUPCHECK_H

#include <cstdint>
#include <string>
#include <vector>

namespace startupcheck {

// "" when the path is a regular file that opens for reading, otherwise why not.
std::string FileProblem(const std::string& path);
// "" when a TCP listener could take the port on every address now,
// otherwise the system's text of why not.
std::string PortProblem(std::uint16_t port);

}  // namespace startupcheck

#endif
