#include "CaseName.h"

#include <cctype>

namespace tavrel_testing {

std::string test_name(const std::string &words)
{
    std::string name = words;
    for (char &ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
}

}  // namespace tavrel_testing
