// Two printer attributes PAPPL 1.3 gets wrong; libpappl adds them through
// the dynamic linker, so the application's ippAddStrings sees them first.
//
// AirPrint clients choose a resolution from the RS value of urf-supported.
// PAPPL writes only the last two of the driver's resolutions there
// ("RS600-1200"), so iPhones and Macs never send 300 dpi; the application
// lists them all.
//
// printer-strings-languages-supported: PAPPL adds it to the printer's own
// attributes, not to the response, once more on every Get-Printer-Attributes
// (the list grows without end, and the printer's attributes change under
// readers).  The driver lists the languages instead.
#include <pappl/pappl.h>

#include <cstring>
#include <utility>
#include <vector>

#include "next_definition.h"
#include "server.h"

extern "C" ipp_attribute_t *ippAddStrings(ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag, const char *name,
                                          int num_values, const char *language, const char *const *values)
{
    using Function = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int, const char *,
                                          const char *const *);
    static const auto real = quillet::app::next_definition<Function>("ippAddStrings");
    // (A copy of the driver's list, made by ippCopyAttribute, has no values
    // yet.)
    if (name && values && !std::strcmp(name, "printer-strings-languages-supported"))
        return nullptr;
    if (!name || std::strcmp(name, "urf-supported") || !values)
        return real(ipp, group, value_tag, name, num_values, language, values);
    std::vector<const char *> listed(values, values + num_values);
    for (const char *&value : listed)
        if (value && !std::strcmp(value, "RS600-1200"))
            value = "RS300-600-1200";
    return real(ipp, group, value_tag, name, num_values, language, listed.data());
}

// printer-location and printer-organization set over IPP: PAPPL 1.3 stores
// each as the printer's geo location (printer-geo-location), so they
// answer success and change nothing.  The request on the client's thread
// says which attribute a value that is no geo: URI came from.
namespace {
thread_local pappl_client_t *client_of_thread = nullptr;
}  // namespace

namespace quillet::app {
void note_client(pappl_client_t *client)
{
    client_of_thread = client;
}

pappl_client_t *noted_client()
{
    return client_of_thread;
}
}  // namespace quillet::app

extern "C" void papplPrinterSetGeoLocation(pappl_printer_t *printer, const char *value)
{
    static const auto real =
        quillet::app::next_definition<void (*)(pappl_printer_t *, const char *)>("papplPrinterSetGeoLocation");
    ipp_t *request = client_of_thread ? papplClientGetRequest(client_of_thread) : nullptr;
    if (value && std::strncmp(value, "geo:", 4) && request &&
        ippGetOperation(request) == IPP_OP_SET_PRINTER_ATTRIBUTES) {
        using Setter = void (*)(pappl_printer_t *, const char *);
        const std::pair<const char *, Setter> fields[] = {{"printer-location", papplPrinterSetLocation},
                                                          {"printer-organization", papplPrinterSetOrganization}};
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
