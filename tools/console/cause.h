// The cause of a failure, picked from the lines the library logged during
// the failed operation (tbx_getLastOperationLog): the lines that give a
// reason, without the course of the command around them and without the
// failure text that the host has already.
#ifndef TB_CONSOLE_CAUSE_H
#define TB_CONSOLE_CAUSE_H

#include <string>
#include <vector>

namespace cause {

// The rule (its words, restatements and number of lines) is the data file
// bindings/python/termbridge/failure_causes.json, which the Python package
// reads too. At most its max_lines lines, the last ones, in the order logged.
std::vector<std::string> Lines(const std::string& operationLog, const std::string& failure);

}  // namespace cause

#endif
