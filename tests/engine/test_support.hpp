// Helpers shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elements/element.hpp"

namespace qgx {

inline std::vector<std::string> token_texts(const TokenList& t) {
    std::vector<std::string> v;
    for (const SharedText& s : t) v.emplace_back(s.view());
    return v;
}

// parse_from_start equals parse_at at 0 without the end, failure position included.
inline ::testing::AssertionResult same_outcome(const ParseOutcome& at0, const ParseFromStartOutcome& fs) {
    if (at0.ok != fs.ok) return ::testing::AssertionFailure() << "ok differs";
    if (at0.ok) {
        if (token_texts(at0.tokens) != token_texts(fs.tokens)) return ::testing::AssertionFailure() << "tokens differ";
    } else if (at0.failure.position != fs.failure.position || at0.failure.message.view() != fs.failure.message.view()) {
        return ::testing::AssertionFailure() << "failure differs";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace qgx
