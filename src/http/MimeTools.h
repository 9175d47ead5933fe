#pragma once

#include "http/RFC2822.h"

// The header block of a request, with the two MIME content headers picked out.
class MimeTools : public RFC2822 {
public:
    explicit MimeTools(LineReader& reader);

    std::optional<std::string> encodingHeader; // "content-transfer-encoding"
    std::optional<std::string> typeHeader;     // "content-type"
};
