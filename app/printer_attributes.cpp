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
#include <cups/ipp.h>

#include <cstring>
#include <vector>

#include "next_definition.h"

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
