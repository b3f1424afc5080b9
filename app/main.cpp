// quillet-printer-app: a driverless IPP printer for the printer, on PAPPL.
// Phones, desktops and CUPS print to it as to any IPP Everywhere printer; it
// turns their documents into the printer's OAKT stream through the encoding
// core and sends it over USB, the network (socket://) or to a file.  What
// it does lives in the application's library; here are its command line
// and its folders.
#include <pappl/pappl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "access.h"
#include "conversions.h"
#include "driver.h"
#include "server.h"
#include "server_start.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.1.0"
#endif

namespace {

using namespace quillet::app;

void usage(void *)
{
    std::printf("Usage: %s SUB-COMMAND [OPTIONS] [FILENAME]\n"
                "       %s [OPTIONS] [FILENAME]\n"
                "       %s [OPTIONS] -\n\n"
                "Sub-commands:\n"
                "  add PRINTER      Add a printer.\n"
                "  autoadd          Automatically add supported printers.\n"
                "  cancel           Cancel one or more jobs.\n"
                "  default          Set the default printer.\n"
                "  delete           Delete a printer.\n"
                "  devices          List devices.\n"
                "  drivers          List drivers.\n"
                "  jobs             List jobs.\n"
                "  modify           Modify a printer.\n"
                "  options          List printer options.\n"
                "  pause            Pause printing for a printer.\n"
                "  printers         List printers.\n"
                "  resume           Resume printing for a printer.\n"
                "  server           Run a server.\n"
                "  set-password     Set the administrator's password, read from standard input.\n"
                "  shutdown         Shutdown a running server.\n"
                "  status           Show server/printer/job status.\n"
                "  submit           Submit a file for printing.\n\n"
                "Options:\n"
                "  -a               Cancel all jobs (cancel).\n"
                "  -d PRINTER       Specify printer.\n"
                "  -j JOB-ID        Specify job ID (cancel).\n"
                "  -m DRIVER-NAME   Specify driver (add/modify).\n"
                "  -n COPIES        Specify number of copies (submit).\n"
                "  -o NAME=VALUE    Specify option (add,modify,server,submit).\n"
                "  -u URI           Specify ipp: or ipps: printer/server.\n"
                "  -v DEVICE-URI    Specify socket:, usb: or file: device (add/modify).\n\n"
                "Server options (-o NAME=VALUE with server), see %s(8):\n"
                "  admin-group, auth-service, conversion-silence-limit, conversion-uids, document-wait-limit,\n"
                "  listen-hostname, log-file, log-level, max-completed-jobs, max-document-size,\n"
                "  output-directory, page-limit, server-port, spool-directory, state-file\n",
                base_name, base_name, base_name, base_name);
}

}  // namespace

int main(int argc, char *argv[])
{
    // PAPPL puts a root server's socket into $SNAP_COMMON when set: there it
    // sits in a folder only root (or the admin group) may enter.  A user's
    // server has its socket in $TMPDIR, made the user's own folder.
    const std::string runtime = runtime_directory();
    std::string error;
    if (geteuid() == 0 || std::getenv("QUILLET_RUNTIME_DIR")) {
        if (geteuid() == 0 && !make_private_directory(runtime, error)) {
            std::cerr << base_name << ": " << error << "\n";
            return 1;
        }
        setenv("SNAP_COMMON", runtime.c_str(), 1);
    }
    if (geteuid() == 0) {
        // Whatever the libraries make is the server's alone: the TLS key
        // made on first use, the log.
        umask(077);
    }
    if (geteuid() != 0) {
        if (!make_private_directory(runtime, error)) {
            std::cerr << base_name << ": " << error << "\n";
            return 1;
        }
        setenv("TMPDIR", runtime.c_str(), 1);
    }
    Startup startup;
    for (int i = 1; i < argc; i++) {
        const bool takes_value = i > 1 && argv[i - 1][0] == '-' && std::strlen(argv[i - 1]) == 2;
        if (argv[i][0] != '-' && !takes_value) {
            startup.listing_drivers = !std::strcmp(argv[i], "drivers");
            break;
        }
    }
    const bool shutting_down = std::any_of(argv + 1, argv + argc, [](const char *a) { return !std::strcmp(a, "shutdown"); });
    const int status = papplMainloop(argc, argv, QUILLET_VERSION, "Quillet printer application",
                                     static_cast<int>(printer_drivers().size()), printer_drivers().data(),
                                     autoadd_callback, driver_callback, "set-password", set_password_command,
                                     make_system, usage, &startup);
    if (startup.made_system)
        remove_conversions_folder();
    // shutdown returns once the server is gone, so that a new one can start.
    for (int waited = 0; shutting_down && status == 0 && waited < 300 && socket_answers(socket_path().c_str());
         waited++)
        usleep(100'000);
    return status;
}
