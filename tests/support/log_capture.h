// Opens the program log in a temporary folder for the length of a test, so
// the lines a function writes can be checked.
#pragma once

#include "support/test_support.h"

#include <string>
#include <vector>

namespace twtest {

class LogCapture {
  public:
    explicit LogCapture(unsigned char level = 4);
    ~LogCapture();
    // The whole file as written so far.
    std::string text() const;
    // The messages of the lines (the text after the level tag and its blank).
    std::vector<std::string> messages() const;
    bool has(const std::string& message) const;
    const std::string& path() const { return path_; }

  private:
    TempDir dir_;
    std::string path_;
};

} // namespace twtest
