// ArrowInvalid: the failure of Arrow data that breaks the format's rules (a
// length, offset or index out of range, a buffer missing). The reader that
// finds it names the column and raises ValueError.
#pragma once

#include <stdexcept>
#include <string>

namespace colenc::py {

class ArrowInvalid : public std::runtime_error {
 public:
  explicit ArrowInvalid(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace colenc::py
