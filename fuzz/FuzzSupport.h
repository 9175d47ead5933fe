#pragma once

// What the fuzz targets share: a check that stops the run the way a crash does (so
// libFuzzer keeps the input), a scratch folder that goes when the run ends, the cut
// of one input into parts, and a session on an emulated device whose library
// replies can be replaced.

#include "support/FaultInjectingDevice.h"
#include "pavrixwm/Rapi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

// A fresh folder under the temporary folder, removed with its content at exit.
std::string ScratchFolder();

// The input cut at each "\n----\n" into `count` parts; missing parts are empty, and
// the last part keeps any separators beyond.
std::vector<std::string> SplitInput(const uint8_t* data, size_t size, size_t count);

// A PocketPC emulated in a scratch folder, behind a wrapper whose replies a target
// replaces and which counts the reply blocks handed out and taken back.
struct DeviceSession {
    std::string folder;
    std::shared_ptr<FaultInjectingDevice> device;
    std::unique_ptr<Rapi> rapi;
};
DeviceSession OpenScratchDevice();

} // namespace fuzzsupport
