#include "request_reader.h"

#include <atomic>
#include <cerrno>

namespace quillet::app {

namespace {

constexpr uint32_t end_tag = 0x03, first_value_tag = 0x10, extension_tag = 0x7f;
constexpr uint32_t begin_collection_tag = 0x34, end_collection_tag = 0x37;

std::atomic<pappl_system_t *> logged_system{nullptr};

}  // namespace

void CollectionDepth::finished_field()
{
    const uint32_t length = field_;
    field_ = 0;
    auto then = [this](Step step, size_t bytes) {
        step_ = bytes ? step : Step::tag;
        left_ = bytes;
    };
    switch (step_) {
    case Step::header: then(Step::tag, 0); break;
    case Step::extension: tag_ = length; [[fallthrough]];
    case Step::tag:
        if (tag_ == end_tag) {
            // Inside a collection libcups takes the end tag for the end of
            // the collection.
            if (levels_ == 0)
                step_ = Step::done;
            else
                levels_--;
        } else if (tag_ >= first_value_tag) {
            then(Step::name_length, 2);
        }
        break;
    case Step::name_length:
        // libcups reads no name for an endCollection, whatever its length.
        if (length == 0 || tag_ == end_collection_tag)
            then(Step::value_length, 2);
        else
            then(Step::name, length);
        break;
    case Step::name: then(Step::value_length, 2); break;
    case Step::value_length:
        if (tag_ == begin_collection_tag) {
            too_deep_ = too_deep_ || ++levels_ > collection_levels_kept;
            then(Step::tag, 0);
        } else if (tag_ == end_collection_tag) {
            levels_ -= levels_ > 0 ? 1 : 0;
            then(Step::tag, 0);
        } else {
            then(Step::value, length);
        }
        break;
    case Step::value: then(Step::tag, 0); break;
    case Step::done: break;
    }
}

bool CollectionDepth::pass(std::span<const uint8_t> bytes)
{
    for (const uint8_t byte : bytes) {
        if (too_deep_ || step_ == Step::done)
            break;
        if (step_ == Step::tag) {
            tag_ = byte;
            if (byte == extension_tag) {
                step_ = Step::extension;
                left_ = 4;
            } else {
                finished_field();
            }
            continue;
        }
        field_ = (field_ << 8) | byte;
        if (--left_ == 0)
            finished_field();
    }
    return !too_deep_;
}

void log_refused_requests_to(pappl_system_t *system)
{
    logged_system = system;
}

namespace {

struct CountedRead {
    http_t *http;
    CollectionDepth depth;
};

void log_refusal(http_t *http, const char *why)
{
    char address[256] = "";
    httpAddrString(httpGetAddress(http), address, sizeof address);
    if (pappl_system_t *system = logged_system)
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Refused a request from %s: %s.", address, why);
}

// libcups's own reader for HTTP, through public calls, with the depth
// counted and a pause bounded.
ssize_t read_counted(void *source, ipp_uchar_t *buffer, size_t length)
{
    auto &read = *static_cast<CountedRead *>(source);
    size_t total = 0;
    ssize_t bytes = 0;
    while (total < length && httpGetState(read.http) != HTTP_STATE_WAITING) {
        if (httpGetReady(read.http) == 0 && !httpWait(read.http, request_pause_seconds * 1000)) {
            log_refusal(read.http, "its request paused longer than the server waits");
            bytes = -1;
            break;
        }
        bytes = httpRead2(read.http, reinterpret_cast<char *>(buffer + total), length - total);
        if (bytes < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (bytes == 0)
            break;
        total += static_cast<size_t>(bytes > 0 ? bytes : 0);
    }
    if (!read.depth.pass(std::span(buffer, total))) {
        log_refusal(read.http, "its collections nest deeper than any printer needs");
        return -1;
    }
    return total == 0 && bytes < 0 ? -1 : static_cast<ssize_t>(total);
}

}  // namespace

ipp_state_t read_request(http_t *http, ipp_t *ipp)
{
    if (!http || !ipp)
        return IPP_STATE_ERROR;
    const ipp_state_t state = ippGetState(ipp);
    CountedRead read{http, CollectionDepth(state == IPP_STATE_IDLE || state == IPP_STATE_HEADER)};
    return ippReadIO(&read, read_counted, httpGetBlocking(http), nullptr, ipp);
}

}  // namespace quillet::app

// libcups 2.4 (2.4.2 in Debian 12, 2.4.10 in Debian 13) reads a
// collection by calling its reader again, a frame per level with no bound:
// a request of some 10,000 levels (200 KB) overflows the stack of the
// thread that reads it, and the whole server falls.  libcups has no public
// way to bound it, and PAPPL reads every request with ippRead(), so the
// application defines ippRead in front of libcups's own, checked at start
// (mended_ipp_reader), in every build.  Goes when libcups bounds the depth
// (packaging/libcups-patches/0001-bound-collection-depth.patch).
extern "C" ipp_state_t ippRead(http_t *http, ipp_t *ipp)
{
    return quillet::app::read_request(http, ipp);
}
