#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// The one exception type of the system: callers tell failures apart by name
// ("DAVNotFoundException", "DAVBusyException", ...), never by C++ type.
class NamedException : public std::runtime_error {
public:
    NamedException(std::string name, std::string reason)
        : std::runtime_error(name + ": " + reason), name_(std::move(name)), reason_(std::move(reason)) {}

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }

private:
    std::string name_;
    std::string reason_;
};

} // namespace platform
