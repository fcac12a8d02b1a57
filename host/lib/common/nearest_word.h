// The word of a list nearest to a mistyped one ("raed" -> "read"), for the
// "did you mean" of every program's errors.
#pragma once

#include <string>
#include <vector>

namespace qel::common {

// The number of single-letter insertions, deletions and substitutions
// between a and b.
std::size_t EditDistance(const std::string& a, const std::string& b);

// The candidate nearest to word, or "" when none is within a third of the
// word's letters (at least one, at most three).
std::string NearestWord(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace qel::common
