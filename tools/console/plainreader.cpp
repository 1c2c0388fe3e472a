// Lines from standard input as they come: for input that is not a terminal.
#include "linereader.h"
#include "osconsole.h"

namespace osconsole {

namespace {

class PlainReader : public LineEditor {
public:
    Read ReadLine(const std::string& /*prompt*/, std::string& line, bool& /*second*/) override {
        switch (linereader::NextLine(stdin, line, failure_)) {
            case linereader::Read::Line: return Read::Line;
            case linereader::Read::Failed: return Read::Failed;
            case linereader::Read::End: break;
        }
        return Read::End;
    }
    std::string Failure() const override { return failure_; }

private:
    std::string failure_;
};

}  // namespace

std::unique_ptr<LineEditor> CreatePlainReader() { return std::make_unique<PlainReader>(); }

}  // namespace osconsole
