#include "device/LogDescriptions.h"

std::string DescribeList(const std::vector<std::string>& items)
{
    std::string text = "(";
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ", " : "") + items[i];
    return text + ")";
}
