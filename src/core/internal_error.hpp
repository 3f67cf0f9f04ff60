// The one exception type of internal failures: a broken invariant, a failed cell
// read, an exhausted allocation. It carries the message and the place where the
// failure was found; the Python method boundary turns it into the panic exception.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace colenc {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(std::string message,
                         std::source_location where = std::source_location::current())
      : std::runtime_error(std::move(message)), where_(where) {}

  // The source place where the failure was found.
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

}  // namespace colenc
