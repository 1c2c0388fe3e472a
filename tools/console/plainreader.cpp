// Lines from standard input as they come: for input that is not a terminal.
#include <iostream>

#include "osconsole.h"

namespace osconsole {

namespace {

class PlainReader : public LineEditor {
public:
    Read ReadLine(const std::string& /*prompt*/, std::string& line, bool& /*second*/) override {
        return std::getline(std::cin, line) ? Read::Line : Read::End;
    }
};

}  // namespace

std::unique_ptr<LineEditor> CreatePlainReader() { return std::make_unique<PlainReader>(); }

}  // namespace osconsole
