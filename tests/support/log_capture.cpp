#include "support/log_capture.h"

#include "base/lock_table.h"
#include "base/log.h"

#include <stdexcept>

namespace twtest {

LogCapture::LogCapture(unsigned char level) {
    InitMutex();
    if (!SetLogDefaults() || !SetLogConfig("test.log", dir_.path().c_str(), level) ||
        !OpenLogFile("a+"))
        throw std::runtime_error("cannot open the test log");
    path_ = dir_.file("test.log");
}

LogCapture::~LogCapture() {
    CloseLogFile();
    FreeLogConfig();
}

std::string LogCapture::text() const {
    return ReadFileText(path_);
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(text())) {
        // "[ stamp ] [ tid ] [TAG] message"
        size_t tag = line.find("] [", line.find("] [") + 1);
        size_t close = tag == std::string::npos ? std::string::npos : line.find("] ", tag + 3);
        if (line.rfind("[ ", 0) == 0 && close != std::string::npos)
            out.push_back(line.substr(close + 2));
        else
            out.push_back(line);
    }
    return out;
}

bool LogCapture::has(const std::string& message) const {
    for (const std::string& m : messages()) {
        if (m == message)
            return true;
    }
    return false;
}

} // namespace twtest
