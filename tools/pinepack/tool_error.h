// The one exception pinepack's own code throws; main turns it into a message and exit status 1.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Receives one line of progress for long work (main prints it to stderr); may be empty.
using Progress = std::function<void(const std::string&)>;
