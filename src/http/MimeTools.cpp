#include "http/MimeTools.h"

MimeTools::MimeTools(LineReader& reader) : RFC2822(reader, DeferParse{})
{
    readHeaders();
    encodingHeader = getHeader("content-transfer-encoding");
    typeHeader = getHeader("content-type");
}
