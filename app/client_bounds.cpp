#include "client_bounds.h"

#include <sys/socket.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "access.h"

namespace quillet::app {

namespace {

// Open connections by address; an address is logged once each time it goes
// past its bound.
class Connections {
public:
    // Whether the address may hold one more.
    bool open(const std::string &address, bool &first_refusal)
    {
        const std::lock_guard hold(lock_);
        Count &count = counts_[address];
        count.open++;
        const bool allowed = count.open <= connections_per_address;
        first_refusal = !allowed && !count.refused;
        count.refused = count.refused || !allowed;
        return allowed;
    }
    void close(const std::string &address)
    {
        const std::lock_guard hold(lock_);
        Count &count = counts_[address];
        if (--count.open < connections_per_address)
            count.refused = false;
        if (count.open == 0)
            counts_.erase(address);
    }

private:
    struct Count {
        unsigned open = 0;
        bool refused = false;
    };
    std::mutex lock_;
    std::map<std::string, Count> counts_;
};

}  // namespace

void *run_client(ClientRun real, pappl_client_t *client)
{
    static Connections connections;
    // The local socket is for root and the admin group: not bounded.
    const std::string address = peer_address(client);
    bool first_refusal = false;
    if (!address.empty() && !connections.open(address, first_refusal)) {
        if (first_refusal)
            papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                           "%s holds %u connections: its further ones are closed as they come, and not logged "
                           "until it holds fewer.",
                           address.c_str(), connections_per_address);
        // PAPPL's thread then finds the connection closed and ends it.
        shutdown(httpGetFd(papplClientGetHTTP(client)), SHUT_RDWR);
    }
    void *result = real(client);
    if (!address.empty())
        connections.close(address);
    return result;
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
