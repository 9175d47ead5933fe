#pragma once

#include <string>

namespace platform {

// The system console log: the process's standard error. The text is written as it
// stands, never read as a format; one call is one write, so lines from several
// threads do not interleave.
void ConsoleLogWrite(const std::string& text);

} // namespace platform
