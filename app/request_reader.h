// How the server reads an IPP request: libcups's reader, with the depth of
// the request's collections counted as its bytes pass, so that a request
// nested deeper than any printer needs is refused before the reader, which
// recurses once per level, runs out of stack.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <array>
#include <span>

#include "interposition_check.h"

namespace quillet::app {

// Levels of collections within collections a request may hold: media-col
// holds media-size, a finishings-col or a preset holds one more.
inline constexpr unsigned collection_levels_kept = 32;

// Seconds a request's attributes may pause before its connection is
// closed as idle (libcups waits as long on a socket that does not block).
inline constexpr int request_pause_seconds = 10;

// Follows an IPP message's encoding byte by byte as libcups reads it
// (header, tags, names, values; a begCollection value opens a level, an
// endCollection or end tag inside one closes it).
class CollectionDepth {
public:
    // From the message's 8-byte header, or from its first tag when the
    // header was read before.
    explicit CollectionDepth(bool from_header) : step_(from_header ? Step::header : Step::tag), left_(8) {}

    // False once the bytes so far open more than collection_levels_kept
    // levels.
    bool pass(std::span<const uint8_t> bytes);

private:
    enum class Step { header, tag, extension, name_length, name, value_length, value, done };
    void finished_field();

    Step step_;
    size_t left_;      // bytes left in the field being read
    uint32_t field_ = 0;
    uint32_t tag_ = 0;
    unsigned levels_ = 0;
    bool too_deep_ = false;
};

// libcups's ippRead(), with the collections counted and a pause bounded:
// what the server's ippRead, defined in front of libcups's own at the end
// of request_reader.cpp, does.
ipp_state_t read_request(http_t *http, ipp_t *ipp);

// The system whose log names a refused request; set once at start.
void log_refused_requests_to(pappl_system_t *system);

// libcups's ippRead, defined in front of libcups's own in every build (a
// fault of libcups, which no patch of PAPPL mends), for the calls PAPPL
// makes, as the server checks it at start.
inline constexpr std::array<const char *, 1> reader_functions = {"ippRead"};
inline constexpr MendedLibrary mended_ipp_reader{"papplSystemCreate", reader_functions, {}};

}  // namespace quillet::app
