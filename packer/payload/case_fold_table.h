// The upper-case mappings of single UTF-16 code units by which Windows
// takes two names for one, beyond ASCII: made when the packer is built
// (make_case_fold_table.cpp), so that the packer folds names alike on every
// system it runs on.
#pragma once

#include <cstddef>

struct CaseFoldPair {
    char16_t from;
    char16_t to;
};

// Sorted by `from`; a unit that is not there folds to itself.
extern const CaseFoldPair caseFoldPairs[];
extern const size_t caseFoldPairCount;
