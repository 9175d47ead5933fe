#pragma once

// The handheld's side of the remote calls, for the simulator: reads one request
// in the dialect the handheld speaks, runs it on the device behind it, and builds
// the reply. What the desktop opened on one channel (file handles, registry keys)
// is closed when the channel ends.

#include "pavrixwm/DeviceBackend.h"
#include "pavrixwm/RapiDialect.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class RapiResponder {
public:
    using Bytes = std::vector<uint8_t>;
    // The most bytes one read or write may move.
    static constexpr uint32_t kMaxTransfer = 1u << 20;

    RapiResponder(std::shared_ptr<DeviceBackend> device, RapiDialect dialect);
    ~RapiResponder();
    RapiResponder(const RapiResponder&) = delete;
    RapiResponder& operator=(const RapiResponder&) = delete;

    // The reply frames for one request (the older dialect's invocation answers with
    // two); none for a request that cannot be read or names an unknown command.
    std::optional<std::vector<Bytes>> answer(const Bytes& request);

private:
    std::shared_ptr<DeviceBackend> device_;
    RapiDialect dialect_;
    std::set<HANDLE> handles_;
    std::set<HKEY> keys_;
};
