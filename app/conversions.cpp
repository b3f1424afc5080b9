#include "conversions.h"

#include <fcntl.h>
#include <grp.h>
#include <pappl/pappl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace quillet::app {

namespace {

// Where and as whom documents are converted (set once at start).
struct Sandbox {
    std::string root;  // the server's own folder of scratch folders
    ConversionIds ids;
    bool switch_user = false;
    ConversionBounds bounds;
};
Sandbox sandbox;

// The conversion ids in use; each conversion takes one of its own.
std::mutex ids_lock;
std::vector<bool> ids_taken;

// Where every server of the host claims the conversion ids it uses: a file
// for each id, locked while a conversion runs as it, so that another server
// (its own state and folders) takes another id, and ending a conversion
// ends its own processes alone.  A lock goes with its process, even on a
// crash.  root's alone; the service's unit makes it (RuntimeDirectory=).
constexpr const char *claims_folder = "/run/quillet-conversions";

// A descriptor that holds the host-wide claim of a conversion id, or -1:
// held by another process (why left empty), or no claim can be made (why
// says so).
int claim_id(uid_t uid, std::string &why)
{
    struct stat folder{};
    if ((mkdir(claims_folder, 0700) != 0 && errno != EEXIST) || lstat(claims_folder, &folder) != 0) {
        why = std::string("no conversion user id can be claimed in ") + claims_folder + ": " + std::strerror(errno);
        return -1;
    }
    if (!S_ISDIR(folder.st_mode) || folder.st_uid != geteuid() || (folder.st_mode & 022)) {
        why = std::string(claims_folder) + " is not a folder of the server's user alone: no conversion user id "
                                           "can be claimed in it.";
        return -1;
    }
    const std::string path = std::string(claims_folder) + "/" + std::to_string(uid);
    const int claim = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (claim < 0) {
        why = "the claim of conversion user id " + std::to_string(uid) + " cannot be made: " + std::strerror(errno);
        return -1;
    }
    if (flock(claim, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            why = "the claim of conversion user id " + std::to_string(uid) + " cannot be made: " + std::strerror(errno);
        close(claim);
        return -1;
    }
    return claim;
}

// Removes path with all it holds, whoever made what is inside: each folder
// is made the server's before it is read (the server may change a file's
// owner, not read another user's folder).
void take_and_remove(const std::string &path)
{
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        // Taken by a descriptor that needs no right to read it (its owner
        // may have closed it to everyone), never through a link put in its
        // place; then opened to its new owner, which needs no power over
        // other users' files.  Nothing can swap it meanwhile: its parent is
        // the server's and its user's processes are ended.
        const int folder = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool taken = folder >= 0 && fchownat(folder, "", geteuid(), getegid(), AT_EMPTY_PATH) == 0 &&
                           chmod(path.c_str(), 0700) == 0;
        if (folder >= 0)
            close(folder);
        if (!taken)
            return;
        std::error_code gone;
        for (const auto &entry : std::filesystem::directory_iterator(path, gone))
            take_and_remove(entry.path().string());
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Ends every process of a conversion's user, wherever it went: a process
// that left Ghostscript's group keeps the id no longer than its job.
void end_processes_of(uid_t uid)
{
    const pid_t ender = fork();
    if (ender == 0) {
        if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0)
            kill(-1, SIGKILL);  // every process this id may signal: its own
        _exit(0);
    }
    if (ender > 0)
        waitpid(ender, nullptr, 0);
}

// Every folder from / down to path may be entered by any user.
bool others_may_enter(const std::filesystem::path &path)
{
    std::filesystem::path at;
    for (const auto &part : path) {
        at /= part;
        struct stat info{};
        if (stat(at.c_str(), &info) != 0 || !(info.st_mode & S_IXOTH))
            return false;
    }
    return true;
}

// The folder of scratch folders: one per state file, in the first
// temporary folder that the conversions' users can enter (a private TMPDIR
// cannot be), made anew: what conversions a crash cut short left there
// goes.
std::optional<std::string> make_conversions_folder(const std::string &state_file, bool other_users)
{
    std::vector<std::string> candidates{papplGetTempDir(), "/tmp"};
    const auto parent = std::find_if(candidates.begin(), candidates.end(), [&](const std::string &folder) {
        return !folder.empty() && (!other_users || others_may_enter(folder));
    });
    if (parent == candidates.end())
        return "neither " + candidates[0] + " nor /tmp can be entered by other users";
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : state_file)
        hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    std::array<char, 17> hex{};
    std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(hash));
    std::string root = *parent + "/quillet-conversions-" + std::to_string(geteuid()) + "-" + hex.data();
    struct stat info{};
    if (lstat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
        // What conversions a crash cut short may still run goes first.
        std::error_code gone;
        for (const auto &entry : std::filesystem::directory_iterator(root, gone)) {
            struct stat job{};
            if (lstat(entry.path().c_str(), &job) == 0 && sandbox.switch_user && job.st_uid >= sandbox.ids.first &&
                job.st_uid - sandbox.ids.first < sandbox.ids.count) {
                // Unless another server of the host uses the id now.
                std::string failed;
                if (const int claim = claim_id(job.st_uid, failed); claim >= 0) {
                    end_processes_of(job.st_uid);
                    close(claim);
                }
            }
        }
        take_and_remove(root);
    }
    if (mkdir(root.c_str(), 0711) != 0 || chmod(root.c_str(), 0711) != 0) {
        // Someone else's in the way: a folder of a new name.
        root = *parent + "/quillet-conversions.XXXXXX";
        if (!mkdtemp(root.data()) || chmod(root.c_str(), 0711) != 0)
            return "no folder for them can be made in " + *parent + ": " + std::strerror(errno);
    }
    sandbox.root = root;
    return std::nullopt;
}

}  // namespace

std::optional<ScratchFolder> ScratchFolder::make(std::string &why)
{
    std::string pattern = sandbox.root + "/job.XXXXXX";
    if (sandbox.root.empty() || !mkdtemp(pattern.data())) {
        why = "no scratch folder can be made in " + sandbox.root + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ScratchFolder made(pattern);
    if (!sandbox.switch_user)
        return made;
    {
        // The first id free here that no other server of the host holds.
        std::lock_guard locked(ids_lock);
        why.clear();
        for (size_t id = 0; id < ids_taken.size() && made.claim_ < 0; id++) {
            if (ids_taken[id])
                continue;
            made.claim_ = claim_id(sandbox.ids.first + static_cast<uid_t>(id), why);
            if (!why.empty())
                return std::nullopt;
            if (made.claim_ >= 0) {
                ids_taken[id] = true;
                made.uid_ = sandbox.ids.first + static_cast<uid_t>(id);
            }
        }
        if (made.claim_ < 0) {
            why = "all " + std::to_string(ids_taken.size()) + " conversion user ids are in use on this host.";
            return std::nullopt;
        }
    }
    // Opened to the server's group first: once the folder is another
    // user's, changing its mode would take a power over other users'
    // files (CAP_FOWNER) that the service's unit does not grant.
    if (chmod(pattern.c_str(), 0770) != 0 || chown(pattern.c_str(), made.uid_, getegid()) != 0) {
        why = "the scratch folder cannot be given to the conversion's user: " + std::string(std::strerror(errno));
        return std::nullopt;
    }
    return made;
}
ScratchFolder::~ScratchFolder()
{
    if (uid_)
        end_processes_of(uid_);
    if (!path_.empty())
        take_and_remove(path_);
    if (uid_) {
        std::lock_guard locked(ids_lock);
        ids_taken[uid_ - sandbox.ids.first] = false;
    }
    if (claim_ >= 0)
        close(claim_);  // last: the id is free for the host once its processes are gone
}
bool copy_document(const char *from, const ScratchFolder &scratch)
{
    const std::string to = scratch.path() + "/document";
    const int in = open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400);
    bool copied = in >= 0 && out >= 0;
    struct stat info{};
    copied = copied && fstat(in, &info) == 0;
    for (off_t left = copied ? info.st_size : 0; copied && left > 0;) {
        const ssize_t sent = sendfile(out, in, nullptr, static_cast<size_t>(std::min<off_t>(left, 1 << 30)));
        copied = sent > 0;
        left -= sent;
    }
    if (copied && scratch.uid())
        copied = fchown(out, scratch.uid(), scratch.uid()) == 0;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return copied;
}

FolderUse use_of(const std::string &folder)
{
    FolderUse use;
    std::error_code failed;
    for (std::filesystem::recursive_directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        struct stat info{};
        if (lstat(it->path().c_str(), &info) == 0)
            use.bytes += static_cast<uint64_t>(info.st_blocks) * 512;
        use.files++;
    }
    return use;
}

const ConversionBounds &conversion_bounds()
{
    return sandbox.bounds;
}

void remove_conversions_folder()
{
    if (!sandbox.root.empty())
        take_and_remove(sandbox.root);
}

std::optional<std::string> set_up_conversions(const std::string &state_file, ConversionIds ids, ConversionBounds bounds)
{
    sandbox.bounds = bounds;
    if (geteuid() != 0)
        return make_conversions_folder(state_file, false);  // a user's own server converts as that user
    // Every id is a stranger to the host: no user has it, and no user's
    // containers map to it.
    if (ids.count == 0 || ids.first == 0 || ids.first + ids.count - 1 < ids.first)
        return "no conversion user ids";
    for (uid_t uid = ids.first; uid - ids.first < ids.count; uid++)
        if (getpwuid(uid) || getgrgid(uid))
            return "user or group id " + std::to_string(uid) + " of the conversions' range is taken";
    for (const char *subordinates : {"/etc/subuid", "/etc/subgid"}) {
        std::ifstream lines(subordinates);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string owner, first, count;
            if (std::getline(fields, owner, ':') && std::getline(fields, first, ':') && std::getline(fields, count)) {
                const unsigned long long from = std::strtoull(first.c_str(), nullptr, 10),
                                         to = from + std::strtoull(count.c_str(), nullptr, 10);
                if (from < ids.first + uint64_t{ids.count} && ids.first < to)
                    return "the conversions' ids overlap " + owner + "'s in " + subordinates;
            }
        }
    }
    sandbox.ids = ids;
    ids_taken.assign(ids.count, false);
    sandbox.switch_user = true;
    return make_conversions_folder(state_file, true);
}

}  // namespace quillet::app
