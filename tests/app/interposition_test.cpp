// The start-up check that refuses a server whose definitions in front of
// PAPPL's own would not be reached, run against two stand-in libraries: one
// that calls its functions through the dynamic linker, one linked with them
// bound inside itself.
#include <gtest/gtest.h>

#include <array>

#include "interposition_check.h"

extern "C" {
int plain_anchor(int);
int bound_anchor(int);
// The program's versions, in front of both libraries'.
int plain_mended(int value) { return value * 100; }
int bound_mended(int value) { return value * 100; }
}

namespace {

constexpr std::array<const char *, 1> plain_mended_names{"plain_mended"};
constexpr std::array<const char *, 1> plain_unmended_names{"plain_unmended"};
constexpr std::array<const char *, 1> bound_mended_names{"bound_mended"};
constexpr std::array<const char *, 1> plain_calls{"plain_private_call"}, bound_calls{"bound_private_call"},
    gone_calls{"plain_gone"};

TEST(Interposition, RefusedUnlessTheLibraryReachesTheProgramsDefinitions)
{
    using quillet::app::MendedLibrary;
    struct Case {
        const char *name;
        MendedLibrary library;
        const char *failure;  // what the reason says; empty: none
    };
    const Case cases[] = {
        {"reached", {"plain_anchor", plain_mended_names, plain_calls}, ""},
        {"bound_inside", {"bound_anchor", bound_mended_names, bound_calls}, "calls bound_mended inside itself"},
        {"not_defined", {"plain_anchor", plain_unmended_names, plain_calls},
         "plain_unmended is not the one the dynamic linker finds first"},
        {"no_private", {"plain_anchor", plain_mended_names, gone_calls}, "has no plain_gone"},
        {"no_library", {"gone_anchor", plain_mended_names, plain_calls}, "defines gone_anchor cannot be found"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string> failure = quillet::app::interposition_failure(c.library);
        if (*c.failure)
            EXPECT_NE(failure.value_or("").find(c.failure), std::string::npos) << failure.value_or("none");
        else
            EXPECT_FALSE(failure) << *failure;
    }
    // What the check says is what happens: the plain library calls the
    // program's version, the bound one its own.
    EXPECT_EQ(plain_anchor(1), 100 + 3);
    EXPECT_EQ(bound_anchor(1), 2 + 3);
}

}  // namespace
