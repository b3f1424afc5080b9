// What PAPPL drops of a printer's settings (see interposed.cpp for the
// fault): printer-location, printer-organization and
// printer-organizational-unit set over IPP.
#include "printer_attributes.h"

#include <utility>

namespace quillet::app {

void keep_location(pappl_client_t *client)
{
    // PAPPL answers a Set-Printer-Attributes with printer-location or
    // printer-organization as done, and gives their values to
    // papplPrinterSetGeoLocation(), which takes geo: URIs alone; it looks
    // for printer-organizational-unit under a misspelled name.
    ipp_t *request = papplClientGetRequest(client);
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if (!request || !printer || ippGetOperation(request) != IPP_OP_SET_PRINTER_ATTRIBUTES ||
        ippGetStatusCode(papplClientGetResponse(client)) != IPP_STATUS_OK)
        return;
    const std::pair<const char *, void (*)(pappl_printer_t *, const char *)> fields[] = {
        {"printer-location", papplPrinterSetLocation},
        {"printer-organization", papplPrinterSetOrganization},
        {"printer-organizational-unit", papplPrinterSetOrganizationalUnit}};
    for (auto [name, set] : fields)
        if (ipp_attribute_t *given = ippFindAttribute(request, name, IPP_TAG_ZERO);
            given && ippGetGroupTag(given) == IPP_TAG_PRINTER)
            set(printer, ippGetString(given, 0, nullptr));
}

}  // namespace quillet::app
