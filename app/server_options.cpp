#include "server_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace quillet::app {

namespace {

// A whole number option between least and most; the reason when it is not.
std::optional<std::string> number_option(const char *name, const char *text, unsigned long long least,
                                         unsigned long long most, unsigned long long &value)
{
    char *end = nullptr;
    errno = 0;
    value = text && std::isdigit(static_cast<unsigned char>(*text)) ? std::strtoull(text, &end, 10) : 0;
    if (!end || *end || errno || value < least || value > most)
        return "-o " + std::string(name) + " takes a whole number from " + std::to_string(least) + " to " +
               std::to_string(most) + ", not '" + (text ? text : "") + "'";
    return std::nullopt;
}

// What a conversion may write in its folder: four times the largest
// document, and never less than a small document's fonts and temporary
// files take.
uint64_t conversion_bytes(uint64_t document_bytes)
{
    return std::max<uint64_t>(4 * document_bytes, uint64_t{16} << 20);
}

}  // namespace

std::optional<std::string> read_server_options(int num_options, cups_option_t *options, const std::string &state_dir,
                                               ServerOptions &chosen)
{
    auto option = [&](const char *name) { return cupsGetOption(name, num_options, options); };
    auto text_or = [&](const char *name, const std::string &otherwise) {
        return option(name) ? std::string(option(name)) : otherwise;
    };
    chosen.private_server = option("private-server") != nullptr;
    chosen.state_file = text_or("state-file", state_dir + "/state");
    chosen.spool_directory = text_or("spool-directory", state_dir + "/spool");
    chosen.output_directory = text_or("output-directory", "");
    unsigned long long number = 0;
    const struct {
        const char *name;
        unsigned long long least, most;
        std::function<void(unsigned long long)> take;
    } numbers[] = {
        {"page-limit", 1, 1'000'000, [&](auto n) { chosen.page_limit = static_cast<unsigned>(n); }},
        {"max-document-size", 1, 1ull << 40, [&](auto n) { chosen.max_document_bytes = n; }},
        {"max-completed-jobs", 1, 100'000, [&](auto n) { chosen.completed_jobs_kept = static_cast<int>(n); }},
        {"document-wait-limit", 1, 86'400, [&](auto n) { chosen.document_wait_seconds = static_cast<int>(n); }},
        {"conversion-silence-limit", 1, 86'400,
         [&](auto n) { chosen.conversion.silence_seconds = static_cast<unsigned>(n); }},
        {"server-port", 1, 65'535, [&](auto n) { chosen.port = static_cast<int>(n); }},
    };
    for (const auto &bound : numbers) {
        if (const char *text = option(bound.name)) {
            if (std::optional<std::string> refused = number_option(bound.name, text, bound.least, bound.most, number))
                return refused;
            bound.take(number);
        }
    }
    chosen.conversion.bytes = conversion_bytes(chosen.max_document_bytes);
    if (const char *text = option("conversion-uids")) {
        unsigned long long first = 0, last = 0;
        const std::string range = text;
        const size_t dash = range.find('-');
        if (dash == std::string::npos ||
            number_option("conversion-uids", range.substr(0, dash).c_str(), 65536, 4294967293ull, first) ||
            number_option("conversion-uids", range.substr(dash + 1).c_str(), first, first + 65535, last))
            return "-o conversion-uids takes FIRST-LAST, from 65536 up, at most 65536 ids, not '" + range + "'";
        chosen.conversion_ids = {static_cast<uid_t>(first), static_cast<unsigned>(last - first + 1)};
    }
    if (const char *level = option("log-level")) {
        const std::map<std::string, pappl_loglevel_t> levels = {{"debug", PAPPL_LOGLEVEL_DEBUG},
                                                                {"info", PAPPL_LOGLEVEL_INFO},
                                                                {"warn", PAPPL_LOGLEVEL_WARN},
                                                                {"error", PAPPL_LOGLEVEL_ERROR}};
        if (!levels.count(level))
            return "-o log-level takes debug, info, warn or error, not '" + std::string(level) + "'";
        chosen.log_level = levels.at(level);
    }
    if (chosen.private_server)
        chosen.port = 0;
    return std::nullopt;
}

}  // namespace quillet::app
