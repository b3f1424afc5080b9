// Printer attributes PAPPL writes wrong (see interposed.cpp for each
// fault): every resolution offered to AirPrint clients, the languages of
// the labels listed once, printer-location and printer-organization kept.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mends.h"
#include "printer.h"
#include "access.h"

namespace quillet::app {

namespace {
// The client served on this thread, noted when PAPPL asks who it is.
thread_local pappl_client_t *client_of_thread = nullptr;
}  // namespace

void note_client(pappl_client_t *client)
{
    client_of_thread = client;
}

pappl_client_t *noted_client()
{
    return client_of_thread;
}

ipp_attribute_t *add_strings(AddStrings real, ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                             int num_values, const char *language, const char *const *values)
{
    // (A copy of the driver's list, made by ippCopyAttribute, has no values
    // yet.)
    if (name && values && !std::strcmp(name, "printer-strings-languages-supported"))
        return nullptr;
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

void set_geo_location(SetGeoLocation real, pappl_printer_t *printer, const char *value)
{
    // A value that is no geo: URI came from printer-location or
    // printer-organization: the request on the client's thread says which.
    ipp_t *request = client_of_thread ? papplClientGetRequest(client_of_thread) : nullptr;
    if (value && std::strncmp(value, "geo:", 4) && request &&
        ippGetOperation(request) == IPP_OP_SET_PRINTER_ATTRIBUTES) {
        const std::pair<const char *, SetGeoLocation> fields[] = {
            {"printer-location", papplPrinterSetLocation}, {"printer-organization", papplPrinterSetOrganization}};
        for (auto [name, set] : fields) {
            const char *given = ippGetString(ippFindAttribute(request, name, IPP_TAG_TEXT), 0, nullptr);
            if (given && !std::strcmp(given, value)) {
                set(printer, value);
                return;
            }
        }
    }
    real(printer, value);
}

}  // namespace quillet::app
