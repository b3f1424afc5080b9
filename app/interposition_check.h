// Whether the functions the application defines in front of a library's
// own are really reached.  They protect the server only when the library
// calls them through the dynamic linker: a library linked with
// -Bsymbolic-functions, with LTO or hidden visibility, or a renamed private
// function, would call its own copy and the protection would be gone
// without a word.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace quillet::app {

struct MendedLibrary {
    const char *anchor;                   // a public function the library defines
    std::span<const char *const> mended;  // what the program defines in front of it
    std::span<const char *const> called;  // private functions of it the program calls
};

// Why the server must not start: a mended function that the program does
// not define where the linker finds it first, whose original cannot be
// found, or that the library does not import through its dynamic
// relocations (it binds the name inside itself); or a library without a
// private function the program calls.  Nothing when every one is reached.
std::optional<std::string> interposition_failure(const MendedLibrary &library);

}  // namespace quillet::app
