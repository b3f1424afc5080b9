// How jobs reach the printer: one at a time, each once, and a printer
// that does not answer.
#pragma once

#include <pappl/pappl.h>

#include <optional>
#include <string>

namespace quillet::app {

// On the thread printing a job: why its printer's device cannot be opened
// for good (a file printer's folder gone, or open to other users, or no
// room for the file); the device it was given takes nothing.
std::optional<std::string> device_refused();

// Whether any printer is printing a job now.
bool printing_now();

// Whether a job of the printer is ready to print.
bool has_job_to_start(pappl_printer_t *printer);

// From now on no job starts (the server is stopping); safe in a signal
// handler.
void stop_starting_jobs();

}  // namespace quillet::app
