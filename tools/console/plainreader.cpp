// Lines from standard input as they come: for input that is not a terminal.
#include <iostream>

#include "osconsole.h"

namespace osconsole {

namespace {

class PlainReader : public LineEditor {
public:
    bool ReadLine(const std::string& /*prompt*/, std::string& line) override {
        return static_cast<bool>(std::getline(std::cin, line));
    }
};

}  // namespace

std::unique_ptr<LineEditor> CreatePlainReader() { return std::make_unique<PlainReader>(); }

}  // namespace osconsole
