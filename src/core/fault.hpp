// Internal faults: failed internal checks. They unwind to the call frame, which
// raises them as the module's internal-fault exception. No interpreter here.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace kestrel {

struct InternalFault {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw InternalFault{std::move(message), where};
}

}  // namespace kestrel
