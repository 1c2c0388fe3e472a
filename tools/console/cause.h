// The cause of a failure, picked from the lines the library logged during
// the failed operation (tbx_getLastOperationLog): the lines that give a
// reason, without the course of the command around them and without the
// failure text that the host has already.
#ifndef TB_CONSOLE_CAUSE_H
#define TB_CONSOLE_CAUSE_H

#include <string>
#include <vector>

namespace cause {

// At most kMaxLines lines, the last ones, in the order logged.
constexpr std::size_t kMaxLines = 4;
std::vector<std::string> Lines(const std::string& operationLog, const std::string& failure);

}  // namespace cause

#endif
