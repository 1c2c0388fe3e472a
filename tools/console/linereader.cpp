#include "linereader.h"

#include <cerrno>
#include <cstring>

namespace linereader {

Read NextLine(std::FILE* stream, std::string& line, std::string& error) {
    line.clear();
    errno = 0;
    for (int c = std::getc(stream); c != EOF; c = std::getc(stream)) {
        if (c == '\n') return Read::Line;
        line += static_cast<char>(c);
    }
    if (std::ferror(stream) != 0) {
        error = errno != 0 ? std::strerror(errno) : "read error";
        return Read::Failed;
    }
    return line.empty() ? Read::End : Read::Line;  // a last line without its line end
}

}  // namespace linereader
