// Checks of numeric option values (declared in commands.h).
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>

#include "commands.h"

namespace collinear::cli {
namespace {

// A check of each number token of an option: test gets the value and
// returns the complaint, "" when the value is fine. A token strtod cannot
// read in full is no number: its conversion reports it.
CLI::Validator NumberCheck(const std::string& description,
                           const std::function<std::string(double)>& test) {
  return CLI::Validator(
      [test](std::string& token) -> std::string {
        const char* s = token.c_str();
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(s, &end);
        if (end == s || *end != '\0') return "";
        if (token.find_first_of("xX") != std::string::npos)
          return "'" + token + "' is not a decimal number";
        if (!std::isfinite(v) || errno == ERANGE)
          return "'" + token + "' is not a finite number";
        return test(v).empty() ? "" : "'" + token + "' " + test(v);
      },
      description);
}

}  // namespace

CLI::Validator FiniteNumber() {
  return NumberCheck("", [](double) { return std::string(); });
}

CLI::Validator PositiveNumber() {
  return NumberCheck("> 0", [](double v) {
    return v > 0 ? std::string() : std::string("must be greater than 0");
  });
}

CLI::Validator NonNegativeNumber() {
  return NumberCheck(">= 0", [](double v) {
    return v >= 0 ? std::string() : std::string("must not be negative");
  });
}

}  // namespace collinear::cli
