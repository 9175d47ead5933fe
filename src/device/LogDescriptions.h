#pragma once

#include <string>
#include <vector>

// A list as the debug log shows it: "(a, b, c)".
std::string DescribeList(const std::vector<std::string>& items);
