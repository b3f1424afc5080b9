#include "printer_state.h"

#include <optional>
#include <string>

#include "device_policy.h"

namespace quillet::app {

void copy_printer_state(CopyPrinterState real, pappl_printer_t *printer, ipp_tag_t group, ipp_t *ipp,
                        pappl_client_t *client, cups_array_t *requested)
{
    real(printer, group, ipp, client, requested);
    const std::optional<std::string> why = device_stop_reason(papplPrinterGetName(printer));
    if (!why)
        return;
    // The message PAPPL has just added, the last of its name (a Get-Printers
    // answer holds every printer's), takes this one's place.  (PAPPL's is a
    // constant, which libcups would not copy: it is replaced whole.)
    ipp_attribute_t *message = nullptr;
    for (ipp_attribute_t *found = ippFindAttribute(ipp, "printer-state-message", IPP_TAG_TEXT); found;
         found = ippFindNextAttribute(ipp, "printer-state-message", IPP_TAG_TEXT))
        message = found;
    if (!message)
        return;
    ippDeleteAttribute(ipp, message);
    ippAddString(ipp, group, IPP_TAG_TEXT, "printer-state-message", nullptr, device_stop_message(*why).c_str());
}

}  // namespace quillet::app
