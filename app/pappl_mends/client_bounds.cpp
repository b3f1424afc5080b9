#include "client_bounds.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "access.h"

namespace quillet::app {

namespace {

// The server's connections on its port, looked at once a second: an
// address's connections past its bound are shut, those the watch saw last
// first (one seen a look before is kept before any new one), and PAPPL's
// thread for each then finds it closed and ends.  An address is
// logged once each time it goes past its bound.
class ConnectionWatch {
public:
    explicit ConnectionWatch(int port) : port_(port) {}

    void look(pappl_system_t *system)
    {
        struct Connection {
            int fd;
            ino_t socket;
            unsigned long serial;  // the order the watch first saw them in
        };
        std::map<std::string, std::vector<Connection>> by_address;
        std::map<ino_t, unsigned long> seen;
        std::error_code failed;
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", failed)) {
            const std::string name = entry.path().filename().string();
            int fd = -1;
            std::from_chars(name.data(), name.data() + name.size(), fd);
            struct stat info{};
            if (fd < 0 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) || local_port(fd) != port_)
                continue;
            // The local socket is for root and the admin group: not bounded.
            const std::string address = client_network(fd);
            if (address.empty())
                continue;
            auto [first, added] = first_seen_.try_emplace(info.st_ino, next_serial_);
            next_serial_ += added ? 1 : 0;
            seen.emplace(info.st_ino, first->second);
            by_address[address].push_back({fd, info.st_ino, first->second});
        }
        first_seen_ = std::move(seen);
        std::set<std::string> over;
        for (auto &[address, connections] : by_address) {
            if (connections.size() <= connections_per_address)
                continue;
            over.insert(address);
            std::sort(connections.begin(), connections.end(),
                      [](const Connection &a, const Connection &b) { return a.serial < b.serial; });
            for (size_t i = connections_per_address; i < connections.size(); i++) {
                // The descriptor still holds the socket seen above.
                struct stat info{};
                if (fstat(connections[i].fd, &info) == 0 && info.st_ino == connections[i].socket)
                    shutdown(connections[i].fd, SHUT_RDWR);
            }
            if (!over_.count(address))
                papplLog(system, PAPPL_LOGLEVEL_WARN,
                         "%s holds %zu connections: those past %u are closed within a second of coming, and not "
                         "logged until it holds fewer.",
                         address.c_str(), connections.size(), connections_per_address);
        }
        over_ = std::move(over);
    }

private:
    static int local_port(int fd)
    {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
            return -1;
        if (local.ss_family == AF_INET)
            return ntohs(reinterpret_cast<const sockaddr_in *>(&local)->sin_port);
        if (local.ss_family == AF_INET6)
            return ntohs(reinterpret_cast<const sockaddr_in6 *>(&local)->sin6_port);
        return -1;
    }

    int port_;
    unsigned long next_serial_ = 0;
    std::map<ino_t, unsigned long> first_seen_;
    std::set<std::string> over_;
};

bool look_at_connections(pappl_system_t *system, void *watch)
{
    static_cast<ConnectionWatch *>(watch)->look(system);
    return true;
}

}  // namespace

void bound_connections(pappl_system_t *system)
{
    static ConnectionWatch watch(papplSystemGetHostPort(system));
    papplSystemAddTimerCallback(system, 0, 1, look_at_connections, &watch);
}

void name_requested_attributes_once(ipp_t *request)
{
    ipp_attribute_t *requested = request ? ippFindAttribute(request, "requested-attributes", IPP_TAG_ZERO) : nullptr;
    const int count = requested ? ippGetCount(requested) : 0;
    if (count > 1 && (ippGetValueTag(requested) == IPP_TAG_KEYWORD || ippGetValueTag(requested) == IPP_TAG_NAME)) {
        std::vector<std::string> kept;
        std::set<std::string> seen;
        for (int i = 0; i < count && kept.size() < requested_names_kept; i++)
            if (const char *name = ippGetString(requested, i, nullptr); name && seen.insert(name).second)
                kept.push_back(name);
        // The names kept go last, and the values before them are deleted:
        // ippDeleteValues() deletes none where the values deleted reach the
        // last one (libcups 2.4).
        const int first_kept = count - static_cast<int>(kept.size());
        if (!kept.empty() && first_kept > 0) {
            for (size_t i = 0; i < kept.size(); i++)
                ippSetString(request, &requested, first_kept + static_cast<int>(i), kept[i].c_str());
            ippDeleteValues(request, &requested, 0, first_kept);
        }
    }
}

}  // namespace quillet::app
