// AirPrint clients choose a resolution from the RS value of urf-supported.
// PAPPL 1.3 writes only the last two of the driver's resolutions there
// ("RS600-1200"), so iPhones and Macs never send 300 dpi; the application
// lists them all.  libpappl adds the attribute through the dynamic linker,
// so the application's ippAddStrings sees it first.
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
    if (!name || std::strcmp(name, "urf-supported") || !values)
        return real(ipp, group, value_tag, name, num_values, language, values);
    std::vector<const char *> listed(values, values + num_values);
    for (const char *&value : listed)
        if (value && !std::strcmp(value, "RS600-1200"))
            value = "RS300-600-1200";
    return real(ipp, group, value_tag, name, num_values, language, listed.data());
}
