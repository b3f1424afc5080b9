// Printer attributes PAPPL writes wrong (interposed.cpp says what each
// mends): every resolution offered, the labels' languages once, each size's
// own margins, printer-location kept.
#pragma once

#include <pappl/pappl.h>

#include "mends.h"

namespace quillet::app {

ipp_attribute_t *add_strings(AddStrings real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                             int num_values, const char *language, const char *const *values);
ipp_attribute_t *add_integers(AddIntegers real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                              int num_values, const int *values);
ipp_attribute_t *add_collections(AddCollections real, ipp_t *ipp, ipp_tag_t group, const char *name, int num_values,
                                 const ipp_t **values);
bool set_ready_media(SetReadyMedia real, pappl_printer_t *printer, int num_ready, pappl_media_col_t *ready);

// After PAPPL has answered the client's request: a printer-location or
// printer-organization it took (and dropped) is kept.
void keep_location(pappl_client_t *client);

}  // namespace quillet::app
