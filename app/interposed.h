// The functions of PAPPL and libcups that the application defines in its
// own executable, so that the dynamic linker sends the libraries' own calls
// to its versions (each mends a fault of the library or adds what it has
// no interface for; the comment at each definition says which).  They
// protect the server only when the library really calls them through the
// dynamic linker: a library linked with -Bsymbolic-functions, with LTO or
// hidden visibility, or a renamed private function, would call its own
// copy and the protection would be gone without a word.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace quillet::app {

// Every function the application defines in front of the libraries.
inline constexpr std::array<const char *, 8> interposed_functions = {
    "_papplJobCopyAttributesNoLock", "_papplClientIsAuthorizedForGroup", "papplClientRespondIPP",
    "papplDeviceOpen",               "_papplJobProcess",                 "_papplJobCopyDocumentData",
    "_papplClientRun",               "_papplClientProcessIPP"};

// A private function of libpappl the application calls.
inline constexpr const char *submit_file_function = "_papplJobSubmitFile";

// Why the server must not start: a function above that the application
// does not define where the linker finds it first, whose original cannot be
// found, or that libpappl does not import through its dynamic relocations
// (it binds the name inside itself); or libpappl without the private
// function the application calls.  Nothing when every one is reached.
std::optional<std::string> interposition_failure();

}  // namespace quillet::app
