#include "access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "server.h"

namespace quillet::app {
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

// (PAPPL's own host name for a client is the one the client names.)
std::string client_network(pappl_client_t *client)
{
    return client_network(httpGetFd(papplClientGetHTTP(client)));
}

std::string client_network(int connection)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (getpeername(connection, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return {};
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&peer)->sin_addr, text.data(), text.size());
    else if (peer.ss_family == AF_INET6) {
        in6_addr address = reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address))
            return inet_ntop(AF_INET, &address.s6_addr[12], text.data(), text.size()) ? text.data() : "";
        std::fill(std::begin(address.s6_addr) + 8, std::end(address.s6_addr), 0);
        inet_ntop(AF_INET6, &address, text.data(), text.size());
        return text.data() + std::string("/64");
    }
    return text.data();
}

bool on_local_socket(pappl_client_t *client)
{
    return httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL;
}

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
    if (!on_local_socket(client))
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

// The user and password of the request's Basic credentials.
struct BasicCredentials {
    std::string user, password;
};
std::optional<BasicCredentials> basic_credentials(pappl_client_t *client)
{
    const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!field || std::strncmp(field, "Basic ", 6))
        return std::nullopt;
    std::array<char, 512> decoded{};
    int length = static_cast<int>(decoded.size()) - 1;
    httpDecode64_2(decoded.data(), &length, field + 6);
    const char *colon = std::strchr(decoded.data(), ':');
    if (!colon)
        return std::nullopt;
    return BasicCredentials{std::string(decoded.data(), static_cast<size_t>(colon - decoded.data())), colon + 1};
}

// Wrong passwords from each client (an address, or an IPv6 /64).  After a
// few, the client's tries are looked at one at a time, half a second apart
// (as PAM's own delay holds its logins to about two a second), whatever
// connections and addresses they come on; a try that would wait more than
// half a minute is refused unread.  A right password clears the client's
// count; a run of failures is logged once.
class PasswordTries {
public:
    static constexpr unsigned free_tries = 5;
    static constexpr auto spacing = std::chrono::milliseconds(500);
    static constexpr auto longest_wait = std::chrono::seconds(30);

    // Waits for the address's turn; false when the try is refused unread.
    bool wait_turn(const std::string &address)
    {
        std::chrono::steady_clock::time_point turn;
        {
            std::lock_guard locked(lock_);
            auto found = tries_.find(address);
            if (found == tries_.end() || found->second.failures < free_tries)
                return true;
            const auto now = std::chrono::steady_clock::now();
            turn = std::max(now, found->second.next);
            if (turn - now > longest_wait)
                return false;
            found->second.next = turn + spacing;
        }
        std::this_thread::sleep_until(turn);
        return true;
    }
    // The number of failures in a row, this one included.
    unsigned failed(const std::string &address)
    {
        std::lock_guard locked(lock_);
        if (tries_.size() >= 4096)
            tries_.clear();  // a flood of addresses starts them all afresh
        return ++tries_[address].failures;
    }
    void succeeded(const std::string &address)
    {
        std::lock_guard locked(lock_);
        tries_.erase(address);
    }

private:
    struct Tries {
        unsigned failures = 0;
        std::chrono::steady_clock::time_point next{};
    };
    std::mutex lock_;
    std::map<std::string, Tries> tries_;
};

// The administrator's password in the request's Basic credentials, taken
// over TLS or from this host only.
http_status_t password_given(pappl_client_t *client)
{
    std::array<char, 256> stored{};
    papplSystemGetPassword(papplClientGetSystem(client), stored.data(), stored.size());
    if (!stored[0])
        return HTTP_STATUS_FORBIDDEN;
    http_t *http = papplClientGetHTTP(client);
    if (!httpIsEncrypted(http) && !httpAddrLocalhost(httpGetAddress(http)))
        return HTTP_STATUS_UPGRADE_REQUIRED;
    const std::optional<BasicCredentials> given = basic_credentials(client);
    if (!given)
        return HTTP_STATUS_UNAUTHORIZED;
    static PasswordTries tries;
    const std::string address = client_network(client);
    if (!tries.wait_turn(address))
        return HTTP_STATUS_UNAUTHORIZED;
    if (!password_matches(stored.data(), given->password.c_str())) {
        const unsigned failures = tries.failed(address);
        if (failures < PasswordTries::free_tries)
            papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Wrong administrator password.");
        else if (failures == PasswordTries::free_tries)
            papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                           "Wrong administrator password, %u in a row from %s: its further tries are taken two a "
                           "second, and not logged until one is right.",
                           failures, address.c_str());
        return HTTP_STATUS_UNAUTHORIZED;
    }
    tries.succeeded(address);
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
    const std::optional<BasicCredentials> given = basic_credentials(client);
    return given ? given->user : std::string();
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
    if (on_local_socket(client))
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

}  // namespace quillet::app
