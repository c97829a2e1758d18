// gtest names for parameterised cases, made of the words that describe each
// case: INSTANTIATE_TEST_SUITE_P(Group, Suite, values, tavrel_testing::CaseName()).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tavrel_testing {

// The words with every character a test name may not hold made '_'.
std::string test_name(const std::string &words);

// The words of a case: the string itself, or a record's `what`. A record
// described otherwise brings its own case_words, found beside it.
inline std::string case_words(const char *words) { return words; }
template <class Case>
auto case_words(const Case &c) -> decltype(std::string(c.what))
{
    return c.what;
}

struct CaseName {
    template <class Param>
    std::string operator()(const testing::TestParamInfo<Param> &info) const
    {
        return test_name(case_words(info.param));
    }
};

}  // namespace tavrel_testing
