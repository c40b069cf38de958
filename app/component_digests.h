// The digests of the components a release's program was made with.
//
// scripts/release.py writes them into the program's bytes, right after the
// marker, with `present` set to 1, before it signs the program: the
// signature then covers them. A development build carries none and installs
// the components it finds, as it always has. The object lives in a file of
// its own so that the compiler, which sees the zeros it starts with, cannot
// take them for the values the program will hold.
#pragma once

#include <cstdint>

#include "engine/setup_engine.h"

// Begins with SORVAN_DIGESTS_MARKER, which the script looks for: it occurs
// exactly once in the program.
struct CComponentDigests {
    char marker[32];
    std::uint32_t present;
    sorvan::ComponentDigests digests;
};

extern const CComponentDigests g_componentDigests;
