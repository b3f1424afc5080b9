// The tables of the OAKT stream that every front end and reader shares: the
// JBIG options of every band and the byte order of a band's JBIG header.  The
// printer's sizes, media and densities are in printer.h.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>

#include "oakt_records.h"
#include "printer.h"

namespace quillet {

// Every band is one JBIG image of one stripe: order ILEAVE|SMID, the two-line
// template, TPBON and TPDON, delayed template moves, MX 16, MY 0, and L0 equal
// to the band's rows.
inline constexpr int jbig_order = 3;
inline constexpr int jbig_options = 0x158;
inline constexpr int jbig_mx = 16;
inline constexpr int jbig_my = 0;
inline constexpr unsigned band_rows = 256;

// The two fixed words of every band's header as the stream holds them.
inline constexpr uint32_t band_bih_layers = 0x00010000u;
inline constexpr uint32_t band_bih_options = 0x58030010u;

// T.82 stores XD, YD and L0 most significant byte first; the stream holds
// them little-endian.  Reversing the three fields turns either form into the
// other.
constexpr void swap_bih_sizes(std::span<uint8_t, payload_size<Bih>> bih)
{
    for (size_t field = 4; field < 16; field += 4) {
        std::swap(bih[field], bih[field + 3]);
        std::swap(bih[field + 1], bih[field + 2]);
    }
}

}  // namespace quillet
