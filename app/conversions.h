// Where and as whom documents are converted: a scratch folder of each
// conversion's own, as a user id of its own that no other conversion on the
// host has, within bounds of bytes, files and silence.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quillet::app {

// What one conversion may spend: bytes written in its folder, and seconds
// without output before its job ends.
struct ConversionBounds {
    uint64_t bytes = uint64_t{16} << 20;
    unsigned silence_seconds = 60;
};

// PDF and PostScript are converted each in a fresh folder of their own,
// within bounds, and, when the server runs as root, each as
// a user id of its own from ids, which no user of the host and none of
// their containers has.  The folders are in one made for the state file's
// server, where those users can reach it (and what a crash left there is
// removed).  The reason when conversions cannot be made so.
struct ConversionIds {
    uid_t first = 1879048192;  // past the ids systemd hands to containers
    unsigned count = 1024;
};
std::optional<std::string> set_up_conversions(const std::string &state_file, ConversionIds ids,
                                              ConversionBounds bounds);
// Removes the conversions' folder as the server stops.
void remove_conversions_folder();
// The bounds set up.
const ConversionBounds &conversion_bounds();

// A job's scratch folder: made empty, owned by a user id that no other
// conversion and no other process of the host has (the server reaches it
// through its group), removed with all it holds and every process of that
// id ended.
class ScratchFolder {
public:
    static std::optional<ScratchFolder> make(std::string &why);
    ScratchFolder(ScratchFolder &&other) noexcept
        : path_(std::exchange(other.path_, {})), uid_(std::exchange(other.uid_, 0)),
          claim_(std::exchange(other.claim_, -1))
    {
    }
    ScratchFolder &operator=(ScratchFolder &&) = delete;
    ~ScratchFolder();
    const std::string &path() const { return path_; }
    // The user the conversion runs as; 0: the server's own.
    uid_t uid() const { return uid_; }

private:
    explicit ScratchFolder(std::string path) : path_(std::move(path)) {}
    std::string path_;
    uid_t uid_ = 0;
    int claim_ = -1;  // the host-wide claim of uid_
};

// A copy of the job's document in the scratch folder, as "document",
// readable by the conversion's user alone; the spool file itself is the
// server's.
bool copy_document(const char *from, const ScratchFolder &scratch);

// Files a conversion may make in its folder: Ghostscript makes a few; a
// document that makes thousands (SAFER lets PostScript make temporary
// files) would take the inodes every other conversion needs.
inline constexpr size_t files_per_conversion = 1000;

// What the files in a folder take on disk, and how many they are; files
// the server cannot see into count as nothing (Ghostscript's own are
// bounded one by one).
struct FolderUse {
    uint64_t bytes = 0;
    size_t files = 0;
};
FolderUse use_of(const std::string &folder);

}  // namespace quillet::app
