#pragma once

// The link's in-process side over a simulated handheld, for the link's tests.

#include "DeviceFixture.h"

#include "pavrixwm/LinkDevice.h"
#include "pavrixwm/LinkManager.h"
#include "support/SimulatedHandheld.h"

namespace devicetest {

// A link manager started on the handheld's link; none when the options name no link.
inline std::shared_ptr<LinkManager> Manager(const testsupport::SimulatedHandheld& handheld,
                                            const std::optional<std::string>& password = std::nullopt,
                                            const std::optional<std::string>& runtimeFolder = std::nullopt)
{
    auto settings = LinkSettings::fromOptions(handheld.linkOptions(runtimeFolder), std::nullopt, password);
    return settings ? LinkManager::start(*settings) : nullptr;
}

inline bool Attached(LinkManager& link, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return testsupport::WaitFor([&] { return link.state() == LinkManager::State::Attached; }, timeout);
}

} // namespace devicetest
