#pragma once

#include <stdexcept>
#include <string>

namespace quorix {

/// An internal operation that cannot continue (the runtime could not be created, a
/// signal handler or a timer thread could not be installed). The binding layer turns
/// it into PanicException with the same text.
struct Panic : std::runtime_error {
    explicit Panic(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace quorix
