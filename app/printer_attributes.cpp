// Printer attributes PAPPL writes wrong (see interposed.cpp for each
// fault): every resolution offered to AirPrint clients, the languages of
// the labels listed once, printer-location and printer-organization kept,
// each size's own margins, no format listed that is never printed.
#include "printer_attributes.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "capabilities.h"
#include "printer.h"

namespace quillet::app {

ipp_attribute_t *add_strings(AddStrings real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                             int num_values, const char *language, const char *const *values)
{
    // (A copy of the driver's list, made by ippCopyAttribute, has no values
    // yet.)
    if (name && values && !std::strcmp(name, "printer-strings-languages-supported"))
        return nullptr;
    // PAPPL lists every format a document filter takes; plain text has one
    // only to end its job with the reason.
    if (name && values && !std::strcmp(name, "document-format-supported")) {
        std::vector<const char *> printable;
        std::copy_if(values, values + num_values, std::back_inserter(printable),
                     [](const char *format) { return !format || std::strcmp(format, "text/plain"); });
        return real(ipp, group, value_tag, name, static_cast<int>(printable.size()), language, printable.data());
    }
    if (!name || std::strcmp(name, "urf-supported") || !values)
        return real(ipp, group, value_tag, name, num_values, language, values);
    // RS: the resolutions, every one the printer has.
    static const std::string every_resolution = [] {
        std::string text = "RS";
        for (size_t i = 0; i < quillet::resolutions.size(); i++)
            text += (i ? "-" : "") + std::to_string(quillet::resolutions[i]);
        return text;
    }();
    std::vector<const char *> listed(values, values + num_values);
    for (const char *&value : listed)
        if (value && !std::strncmp(value, "RS", 2))
            value = every_resolution.c_str();
    return real(ipp, group, value_tag, name, num_values, language, listed.data());
}

void keep_location(pappl_client_t *client)
{
    // PAPPL answers a Set-Printer-Attributes with printer-location or
    // printer-organization as done, and gives their values to
    // papplPrinterSetGeoLocation(), which takes geo: URIs alone.
    ipp_t *request = papplClientGetRequest(client);
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if (!request || !printer || ippGetOperation(request) != IPP_OP_SET_PRINTER_ATTRIBUTES ||
        ippGetStatusCode(papplClientGetResponse(client)) != IPP_STATUS_OK)
        return;
    const std::pair<const char *, void (*)(pappl_printer_t *, const char *)> fields[] = {
        {"printer-location", papplPrinterSetLocation}, {"printer-organization", papplPrinterSetOrganization}};
    for (auto [name, set] : fields)
        if (ipp_attribute_t *given = ippFindAttribute(request, name, IPP_TAG_ZERO);
            given && ippGetGroupTag(given) == IPP_TAG_PRINTER)
            set(printer, ippGetString(given, 0, nullptr));
}

ipp_attribute_t *add_integers(AddIntegers real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                              int num_values, const int *values)
{
    // (PAPPL lists its one value, with 0 first for borderless printing,
    // which this printer has not.)
    if (values && name && group == IPP_TAG_PRINTER && num_values == 1) {
        const bool sides = !std::strcmp(name, "media-left-margin-supported") ||
                           !std::strcmp(name, "media-right-margin-supported");
        const bool ends = !std::strcmp(name, "media-top-margin-supported") ||
                          !std::strcmp(name, "media-bottom-margin-supported");
        if (sides || ends) {
            const std::vector<int> every = sides ? side_margins_offered() : end_margins_offered();
            return real(ipp, group, value_tag, name, static_cast<int>(every.size()), every.data());
        }
    }
    return real(ipp, group, value_tag, name, num_values, values);
}

ipp_attribute_t *add_collections(AddCollections real, ipp_t *ipp, ipp_tag_t group, const char *name, int num_values,
                                 const ipp_t **values)
{
    if (!values || !name || group != IPP_TAG_PRINTER || std::strcmp(name, "media-col-database"))
        return real(ipp, group, name, num_values, values);
    // Each entry with its size's margins; a range of sizes (custom ones)
    // has no dimensions of a size.
    std::vector<ipp_t *> entries;
    for (int i = 0; i < num_values; i++) {
        ipp_t *entry = ippNew();
        ippCopyAttributes(entry, const_cast<ipp_t *>(values[i]), 0, nullptr, nullptr);
        ipp_t *size = ippGetCollection(ippFindAttribute(entry, "media-size", IPP_TAG_BEGIN_COLLECTION), 0);
        const Margins margins = size_margins(ippGetInteger(ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER), 0),
                                             ippGetInteger(ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER), 0));
        const std::pair<const char *, int> fields[] = {{"media-left-margin", margins.left_right},
                                                       {"media-right-margin", margins.left_right},
                                                       {"media-top-margin", margins.bottom_top},
                                                       {"media-bottom-margin", margins.bottom_top}};
        for (auto [field, value] : fields)
            if (ipp_attribute_t *margin = ippFindAttribute(entry, field, IPP_TAG_INTEGER))
                ippSetInteger(entry, &margin, 0, value);
        entries.push_back(entry);
    }
    ipp_attribute_t *added =
        real(ipp, group, name, num_values, const_cast<const ipp_t **>(entries.data()));
    for (ipp_t *entry : entries)
        ippDelete(entry);
    return added;
}

bool set_ready_media(SetReadyMedia real, pappl_printer_t *printer, int num_ready, pappl_media_col_t *ready)
{
    // PAPPL's web page and IPP clients give every size the printer's one
    // set of margins (or any larger): each takes its own.
    if (!ready || num_ready <= 0)
        return real(printer, num_ready, ready);
    std::vector<pappl_media_col_t> mended(ready, ready + num_ready);
    for (pappl_media_col_t &media : mended)
        give_size_margins(media);
    return real(printer, num_ready, mended.data());
}

}  // namespace quillet::app
