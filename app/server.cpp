#include "server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <vector>

namespace quillet::app {

bool socket_answers(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    bool answers = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answers;
}

std::string runtime_directory()
{
    if (const char *chosen = std::getenv("QUILLET_RUNTIME_DIR"); chosen && *chosen)
        return chosen;
    if (geteuid() == 0)
        return "/run/quillet-printer-app";
    if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return std::string(xdg) + "/quillet-printer-app";
    return "/tmp/quillet-printer-app-" + std::to_string(geteuid());
}

std::string socket_path()
{
    if (geteuid() == 0)
        return runtime_directory() + "/quillet-printer-app.sock";
    return std::string(papplGetTempDir()) + "/quillet-printer-app" + std::to_string(getuid()) + ".sock";
}

namespace {

// Posts the password to the server's own page for it and returns the
// answer's status and text.
std::pair<http_status_t, std::string> post_password(const std::string &socket, const std::string &body)
{
    http_t *http = httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (!http)
        return {HTTP_STATUS_ERROR, "no server answers on " + socket};
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, body.size());
    http_status_t status = HTTP_STATUS_ERROR;
    std::string answer;
    if (!httpPost(http, password_path) && httpWrite2(http, body.data(), body.size()) >= 0) {
        while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE)
            ;
        std::array<char, 4096> buffer;
        for (ssize_t got; (got = httpRead2(http, buffer.data(), buffer.size())) > 0;)
            answer.append(buffer.data(), static_cast<size_t>(got));
    }
    httpClose(http);
    return {status, answer};
}

std::string form_encoded(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c))
            out += static_cast<char>(c);
        else {
            std::array<char, 4> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "%%%02X", c);
            out += escaped.data();
        }
    }
    return out;
}

const char *weak_password =
    "it must be at least eight characters long, with an uppercase letter, a lowercase letter and a digit";

bool strong(const std::string &password)
{
    bool lower = false, upper = false, digit = false;
    for (unsigned char c : password) {
        lower |= std::islower(c) != 0;
        upper |= std::isupper(c) != 0;
        digit |= std::isdigit(c) != 0;
    }
    return password.size() >= 8 && lower && upper && digit;
}

}  // namespace

int set_password_command(const char *base_name, int, cups_option_t *, int, char **, void *)
{
    std::string password;
    std::getline(std::cin, password);
    const std::string path = socket_path();
    if (!socket_answers(path.c_str())) {
        std::cerr << base_name << ": no server answers on " << path << "\n";
        return 1;
    }
    auto [status, answer] = post_password(path, "password=" + form_encoded(password));
    if (status != HTTP_STATUS_OK) {
        std::cerr << base_name << ": the password was not changed: "
                  << (answer.empty() ? std::string(httpStatus(status)) : answer) << "\n";
        return 1;
    }
    std::cout << "The administrator password is set.\n";
    return 0;
}

bool set_password_resource(pappl_client_t *client, void *)
{
    auto answer = [&](http_status_t status, const std::string &text) {
        if (papplClientRespond(client, status, nullptr, "text/plain", 0, text.size()))
            httpWrite2(papplClientGetHTTP(client), text.data(), text.size());
        return true;
    };
    // The local socket only: its folder is root's (or the admin group's).
    if (httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) != AF_LOCAL)
        return answer(HTTP_STATUS_FORBIDDEN, "The password is set on the server's local socket only.");
    if (papplClientGetMethod(client) != HTTP_STATE_POST)
        return answer(HTTP_STATUS_METHOD_NOT_ALLOWED, "POST the password.");
    cups_option_t *form = nullptr;
    const int fields = papplClientGetForm(client, &form);
    const char *password = cupsGetOption("password", fields, form);
    const std::string given = password ? password : "";
    cupsFreeOptions(fields, form);
    if (!strong(given))
        return answer(HTTP_STATUS_BAD_REQUEST, weak_password);
    pappl_system_t *system = papplClientGetSystem(client);
    std::array<char, 256> hash{};
    papplSystemHashPassword(system, nullptr, given.c_str(), hash.data(), hash.size());
    papplSystemSetPassword(system, hash.data());
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "The administrator password was set on the local socket.");
    return answer(HTTP_STATUS_OK, "Password changed.");
}

bool make_private_directory(const std::string &path, std::string &error)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        error = path + " is not a folder of this user's own";
        return false;
    }
    if ((info.st_mode & 0777) != 0700 && (info.st_mode & 0027) != 0 && chmod(path.c_str(), 0700) != 0) {
        error = "cannot make " + path + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<DeviceUri> split_device_uri(const char *uri)
{
    std::array<char, 32> scheme{};
    std::array<char, 256> userpass{}, host{};
    std::array<char, 1024> resource{};
    int port = 0;
    if (!uri || httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), scheme.size(), userpass.data(),
                                userpass.size(), host.data(), host.size(), &port, resource.data(),
                                resource.size()) < HTTP_URI_STATUS_OK)
        return std::nullopt;
    return DeviceUri{scheme.data(), resource.data()};
}

bool device_uri_allowed(const char *uri, const std::string &output_directory, bool dns_sd, std::string &why)
{
    const std::optional<DeviceUri> parts = split_device_uri(uri);
    if (!parts) {
        why = "The device URI is not a valid URI.";
        return false;
    }
    const std::string &kind = parts->scheme;
    if (kind == "usb" || kind == "socket" || kind == "snmp")
        return true;
    if (kind == "dnssd") {
        if (dns_sd)
            return true;
        why = "dnssd:// printers need avahi-daemon, which is not running.";
        return false;
    }
    if (kind != "file") {
        why = "The printer cannot be reached through '" + kind + "' URIs.";
        return false;
    }
    if (output_directory.empty()) {
        why = "Printing to files is off: the server was started without -o output-directory=FOLDER.";
        return false;
    }
    const std::string &path = parts->path;
    std::error_code failed;
    const auto allowed = std::filesystem::canonical(output_directory, failed);
    if (failed) {
        why = "The output folder " + output_directory + " does not exist.";
        return false;
    }
    const auto target = std::filesystem::weakly_canonical(path, failed);
    // The path as given must be the resolved one: no links, no "..".
    if (failed || path.find('?') != std::string::npos || target != std::filesystem::path(path).lexically_normal() ||
        !std::filesystem::is_directory(target, failed)) {
        why = "file:// must name an existing folder inside " + allowed.string() + ".";
        return false;
    }
    auto [end, rest] = std::mismatch(allowed.begin(), allowed.end(), target.begin(), target.end());
    if (end != allowed.end()) {
        why = "file:// must name a folder inside " + allowed.string() + ".";
        return false;
    }
    struct stat info{};
    if (lstat(target.c_str(), &info) != 0 || !writable_only_by_owner(info)) {
        why = "The folder " + target.string() + " may be written by other users; file:// needs one only the server writes.";
        return false;
    }
    return true;
}

bool writable_only_by_owner(const struct stat &info)
{
    return (info.st_uid == geteuid() || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool dns_sd_available()
{
    return socket_answers("/run/dbus/system_bus_socket") && socket_answers("/run/avahi-daemon/socket");
}

namespace {

// Whether password matches a stored "nonce~sha256(nonce:password)".  PAPPL
// 1.3's own check takes the stored hash for the nonce, so it never matches
// and its login page takes any password: neither is used here.
bool password_matches(const char *stored, const char *password)
{
    const char *tilde = std::strchr(stored, '~');
    if (!tilde)
        return false;
    const std::string salted = std::string(stored, tilde) + ":" + password;
    std::array<unsigned char, 32> sum{};
    std::array<char, 65> hex{};
    cupsHashData("sha2-256", salted.data(), salted.size(), sum.data(), sum.size());
    cupsHashString(sum.data(), sum.size(), hex.data(), hex.size());
    return !std::strcmp(tilde + 1, hex.data());
}

// What anyone who can reach the server may do: print, and follow and
// cancel their own jobs.  PAPPL asks again with the admin group for another
// user's job.
bool open_to_everyone(ipp_op_t operation)
{
    switch (operation) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_GET_JOBS:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_RENEW_SUBSCRIPTION:
    case IPP_OP_CANCEL_SUBSCRIPTION:
    case IPP_OP_GET_NOTIFICATIONS:
        return true;
    default:
        return false;
    }
}

// The administrator's password in the request's Basic credentials.
http_status_t password_given(pappl_client_t *client)
{
    std::array<char, 256> stored{};
    papplSystemGetPassword(papplClientGetSystem(client), stored.data(), stored.size());
    if (!stored[0])
        return HTTP_STATUS_FORBIDDEN;
    const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!field || std::strncmp(field, "Basic ", 6))
        return HTTP_STATUS_UNAUTHORIZED;
    std::array<char, 512> decoded{};
    int length = static_cast<int>(decoded.size()) - 1;
    httpDecode64_2(decoded.data(), &length, field + 6);
    const char *colon = std::strchr(decoded.data(), ':');
    if (!colon || !password_matches(stored.data(), colon + 1)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Wrong administrator password.");
        return HTTP_STATUS_UNAUTHORIZED;
    }
    return HTTP_STATUS_CONTINUE;
}

}  // namespace

std::optional<http_status_t> open_decision(pappl_client_t *client, const char *group)
{
    pappl_system_t *system = papplClientGetSystem(client);
    std::array<char, 256> admin_group{};
    papplSystemGetAdminGroup(system, admin_group.data(), admin_group.size());
    const bool as_administrator = group && !std::strcmp(group, admin_group.data());
    ipp_t *request = papplClientGetRequest(client);
    if (!request || !open_to_everyone(ippGetOperation(request)))
        return std::nullopt;
    if (!as_administrator)
        return HTTP_STATUS_CONTINUE;
    // PAPPL's second question, about a job whose owner did not log in:
    // anyone may look at it, and its owner by name may cancel it.
    const ipp_op_t operation = ippGetOperation(request);
    if (operation == IPP_OP_GET_JOB_ATTRIBUTES || operation == IPP_OP_GET_JOBS ||
        operation == IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES || operation == IPP_OP_GET_SUBSCRIPTIONS ||
        operation == IPP_OP_GET_NOTIFICATIONS)
        return HTTP_STATUS_CONTINUE;
    const char *user = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    // Cancel-My-Jobs cancels the user's own jobs alone (privacy.cpp).
    if (operation == IPP_OP_CANCEL_MY_JOBS && user && *user)
        return HTTP_STATUS_CONTINUE;
    const char *owner = papplClientGetJob(client) ? papplJobGetUsername(papplClientGetJob(client)) : nullptr;
    if (user && owner && !std::strcmp(user, owner))
        return HTTP_STATUS_CONTINUE;
    return std::nullopt;
}

http_status_t authorize(pappl_client_t *client, const char *group, gid_t, void *)
{
    if (std::optional<http_status_t> decided = open_decision(client, group))
        return *decided;
    return password_given(client);
}

std::string basic_user(pappl_client_t *client)
{
    const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!field || std::strncmp(field, "Basic ", 6))
        return {};
    std::array<char, 512> decoded{};
    int length = static_cast<int>(decoded.size()) - 1;
    httpDecode64_2(decoded.data(), &length, field + 6);
    const char *colon = std::strchr(decoded.data(), ':');
    return colon ? std::string(decoded.data(), static_cast<size_t>(colon - decoded.data())) : std::string();
}

bool in_group(const std::string &user, gid_t group)
{
    std::array<char, 16384> buffer{};
    passwd entry{}, *found = nullptr;
    if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    if (found->pw_gid == group)
        return true;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    return std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

bool is_administrator(pappl_client_t *client)
{
    if (httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL)
        return true;
    if (papplSystemGetAuthService(papplClientGetSystem(client)))
        return papplClientIsAuthorized(client) == HTTP_STATUS_CONTINUE;
    return password_given(client) == HTTP_STATUS_CONTINUE;
}

bool security_page(pappl_client_t *client, void *)
{
    if (!papplClientHTMLAuthorize(client))
        return true;
    pappl_system_t *system = papplClientGetSystem(client);
    const char *status = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        cups_option_t *form = nullptr;
        const int fields = papplClientGetForm(client, &form);
        const char *password = cupsGetOption("new_password", fields, form);
        const char *again = cupsGetOption("new_password2", fields, form);
        if (!papplClientIsValidForm(client, fields, form))
            status = "Invalid form submission.";
        else if (!password || !again || std::strcmp(password, again))
            status = "Passwords do not match.";
        else if (!strong(password))
            status = "Password must be at least eight characters long and contain at least one uppercase letter, "
                     "one lowercase letter, and one digit.";  // PAPPL's own words
        else {
            std::array<char, 256> hash{};
            papplSystemHashPassword(system, nullptr, password, hash.data(), hash.size());
            papplSystemSetPassword(system, hash.data());
            status = "Password changed.";
        }
        cupsFreeOptions(fields, form);
    }
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return true;
    papplClientHTMLHeader(client, "Security", 0);
    papplClientHTMLPuts(client, "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">"
                                "<h1 class=\"title\">Administrator Password</h1>\n");
    if (status) {
        papplClientHTMLPuts(client, "<div class=\"banner\">");
        papplClientHTMLEscape(client, status, 0);
        papplClientHTMLPuts(client, "</div>\n");
    }
    papplClientHTMLPuts(client, "<p>Anyone on the network may print. Changing printers, defaults and this server "
                                "needs this password, given as user name <code>admin</code>.</p>\n");
    papplClientHTMLStartForm(client, "/security", false);
    papplClientHTMLPuts(client,
                        "<table class=\"form\"><tr><th><label for=\"new_password\">New password:</label></th><td>"
                        "<input type=\"password\" name=\"new_password\" id=\"new_password\" "
                        "placeholder=\"8+, upper+lower+digit\"></td></tr>\n<tr><th><label for=\"new_password2\">"
                        "Again:</label></th><td><input type=\"password\" name=\"new_password2\" id=\"new_password2\">"
                        "</td></tr>\n<tr><th></th><td><input type=\"submit\" value=\"Set Password\"></td></tr>"
                        "</table></form></div></div></div>\n");
    papplClientHTMLFooter(client);
    return true;
}

std::string interrupted_jobs_aborted(const std::string &state)
{
    std::string mended;
    size_t at = 0;
    while (at < state.size()) {
        size_t end = state.find('\n', at);
        end = end == std::string::npos ? state.size() : end + 1;
        std::string line = state.substr(at, end - at);
        at = end;
        if (line.rfind("Job ", 0) == 0) {
            cups_option_t *options = nullptr;
            const int count = cupsParseOptions(line.c_str() + 4, 0, &options);
            const char *job_state = cupsGetOption("state", count, options);
            const char *file = cupsGetOption("filename", count, options);
            struct stat info{};
            const int state_value = job_state ? std::atoi(job_state) : 0;
            const bool unfinished = job_state && state_value < IPP_JSTATE_STOPPED;
            const bool can_resume = file && *file && stat(file, &info) == 0;
            // A job that was printing is cut short; one that waited prints
            // unless its document is gone.
            if (unfinished && (state_value == IPP_JSTATE_PROCESSING || !can_resume)) {
                // Values are quoted with their quotes escaped: these are the
                // options themselves.
                if (const char *reasons = cupsGetOption("state_reasons", count, options)) {
                    const std::string old_reasons = " state_reasons=\"" + std::string(reasons) + "\"";
                    if (size_t field = line.find(old_reasons); field != std::string::npos)
                        line.erase(field, old_reasons.size());
                }
                const std::string old_state = " state=\"" + std::string(job_state) + "\"";
                if (size_t field = line.find(old_state); field != std::string::npos)
                    line.replace(field, old_state.size(),
                                 " state=\"" + std::to_string(IPP_JSTATE_ABORTED) + "\" state_reasons=\"" +
                                     std::to_string(PAPPL_JREASON_ABORTED_BY_SYSTEM) + "\"");
            }
            cupsFreeOptions(count, options);
        }
        mended += line;
    }
    return mended;
}

namespace {

// Flushes temporary to disk and renames it over path, then flushes the
// folder so that the rename itself is kept.
bool commit_file(const std::string &temporary, const std::string &path)
{
    int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    if (!synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace

bool replace_file(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written ? commit_file(temporary, path) : (unlink(temporary.c_str()), false);
}

namespace {

// PAPPL saves its state holding the system's lock while it waits for each
// printer's; a job it aborts (a raster while another job prints, a client
// gone mid-upload) holds its printer's lock while it waits for the
// system's: the two wait for each other for good, and so does every
// request after them.  The save holds each printer's lock first (through
// the one public call that holds it: a walk over the printer's jobs; a
// printer with no job at all has none to abort).
struct Save {
    pappl_system_t *system;
    const char *path;
    std::vector<pappl_printer_t *> printers;
};

bool save_holding_printers(const Save &save, size_t next)
{
    if (next == save.printers.size())
        return papplSystemSaveState(save.system, save.path);
    struct Step {
        const Save *save;
        size_t next;
        bool entered = false, saved = false;
    } step{&save, next};
    papplPrinterIterateAllJobs(
        save.printers[next],
        [](pappl_job_t *, void *data) {
            auto &held = *static_cast<Step *>(data);
            if (!held.entered) {
                held.entered = true;
                held.saved = save_holding_printers(*held.save, held.next + 1);
            }
        },
        &step, 1, 1);
    return step.entered ? step.saved : save_holding_printers(save, next + 1);
}

}  // namespace

bool save_state_atomically(pappl_system_t *system, const std::string &path)
{
    // The main loop and the job threads save alike: one at a time.
    static std::mutex saving;
    std::lock_guard one_at_a_time(saving);
    const std::string temporary = path + ".new";
    Save save{system, temporary.c_str(), {}};
    papplSystemIteratePrinters(
        system, [](pappl_printer_t *printer, void *data) { static_cast<Save *>(data)->printers.push_back(printer); },
        &save);
    if (!save_holding_printers(save, 0) || !commit_file(temporary, path)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s': %s", path.c_str(),
                 std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace quillet::app
