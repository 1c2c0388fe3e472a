// The firmware version report of getSystemVersionInfo, judged: a pair whose
// report warns that it does not belong together, whose compared words were
// not read, or of which one side runs no firmware (every word reads 0, as a
// blank chip answers) is no compatible pair. The library itself compares
// only the words as they came.
#ifndef TB_CONSOLE_VERSIONREPORT_H
#define TB_CONSOLE_VERSIONREPORT_H

#include <string>

namespace versionreport {

// What the report shows for a word it could not read (0xCDCDCDCD).
const char* const kUnreadWord = "-842150451";

// Empty when the report shows a compatible MAC and PHY pair, otherwise why
// not.
std::string Problem(const std::string& report);

}  // namespace versionreport

#endif
