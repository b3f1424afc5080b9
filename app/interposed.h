// The functions of PAPPL that the application defines in its own
// executable, so that the dynamic linker sends the library's own calls to
// its versions (each mends a fault of the library that no public interface
// reaches; the comment at each definition says which).
#pragma once

#include <array>

#include "interposition_check.h"

namespace quillet::app {

// Every function the application defines in front of PAPPL's; a PAPPL with
// the patches of packaging/pappl-patches mends the last two's faults itself.
#if QUILLET_PATCHED_PAPPL
inline constexpr std::array<const char *, 5> interposed_functions = {
    "_papplJobCopyAttributesNoLock", "_papplClientIsAuthorizedForGroup", "papplDeviceOpen", "_papplJobProcess",
    "_papplJobCopyDocumentData"};
#else
inline constexpr std::array<const char *, 7> interposed_functions = {
    "_papplJobCopyAttributesNoLock", "_papplClientIsAuthorizedForGroup", "papplDeviceOpen", "_papplJobProcess",
    "_papplJobCopyDocumentData",     "_papplClientRun",                  "_papplClientProcessIPP"};
#endif

// PAPPL, as the server checks it at start: a private function of it the
// application calls is _papplJobSubmitFile.
inline constexpr MendedLibrary mended_pappl{"papplSystemCreate", interposed_functions, "_papplJobSubmitFile"};

}  // namespace quillet::app
