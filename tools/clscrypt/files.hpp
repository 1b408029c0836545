#pragma once

// The tool's outputs. A result never appears under its name half written:
// it goes to a hidden file beside the name (".NAME.XXXXXXXX.tmp", NAME cut
// short when the whole would pass the 255 bytes a name may have), which
// takes the name only once complete and on disk, and without -f only if the
// name is still free at that moment. Devices and FIFOs are written into,
// never replaced. The hidden file is removed on failure and on every signal
// that ends a run and can be caught.
//
// The steps themselves (exclusive creation, flush, the no-replace rename,
// the folder flush, temporary names, what a name is and what an in-place
// rewrite keeps of it) are the platform layer's (src/platform/file.hpp),
// shared with the library's file operations. What is the tool's own stays
// here: the signal clean-up, the handling of devices, FIFOs and links to
// standard output, the batching of folder flushes, and the held file of
// --in-place. files_posix.cpp and files_windows.cpp hold the system's side
// of those, files_common.cpp what both do alike; output.cpp is portable.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file.hpp"

namespace clscrypt::tool {

// What a name is and what a rewrite in place keeps of it: the platform
// layer's.
using platform::file_facts;
using platform::FileFacts;
using platform::keep_owner_and_mode;
using platform::keep_times;
using platform::node_kind;
using platform::NodeKind;
using platform::permission_bits;

/// Whether two names mean the same file (for names that do not exist yet,
/// the same place).
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

/// Whether `path` is a symbolic link to the file this process's standard
/// output writes to (/dev/stdout, /proc/self/fd/1, a link to the file the
/// shell redirected it to).
bool links_to_standard_output(const std::filesystem::path& path);

/// Where `path` leads once its symbolic links are followed, to a name that
/// is no link (which may not exist). A chain that cannot be followed is
/// left as it is, for the creation of the file to explain.
std::filesystem::path followed_links(const std::filesystem::path& path);

/// How many bytes are left to read from `fd` when it is a regular file;
/// nothing for pipes, terminals and devices.
std::optional<std::uint64_t> remaining_file_size(int fd);

// Loops over the tool's descriptors (standard output, the terminal).
bool write_fd(int fd, const std::uint8_t* data, std::size_t size, std::string& error);
bool close_checked(int fd, std::string& error);

/// Installs the handlers of the signals that end a run: they remove the
/// temporary files registered below, clear the progress line, and raise the
/// signal again with its default action (so the exit status tells it).
/// Signals ignored when the tool started stay ignored.
void install_signal_cleanup();
/// Registers a temporary file for removal on those signals: a slot number
/// for release_temporary, or -1 when every slot is taken.
int protect_temporary(const std::filesystem::path& path);
/// How many temporary files can be registered at once.
int temporary_slots() noexcept;
/// Held by a thread while it creates a temporary file: the signals that end
/// a run wait for it in other threads, and are held back in this one, so no
/// file is created behind the cleanup's back. Once a run is ending, a thread
/// that comes here waits for the end instead of creating anything.
class CreationGuard {
public:
    CreationGuard();
    CreationGuard(const CreationGuard&) = delete;
    CreationGuard& operator=(const CreationGuard&) = delete;
    ~CreationGuard();

private:
    unsigned char saved_mask_[256]{};  // the thread's signal mask, as the system keeps it
};
// The count CreationGuard keeps, shared by the systems' sides: enter_creation
// is false once the run is ending (and counts nothing then).
bool enter_creation() noexcept;
void leave_creation() noexcept;
/// The system's side: a pause of about a millisecond, async-signal-safe.
void nap() noexcept;
/// For the handlers (async-signal-safe): from now on no temporary file is
/// created; returns once those being created are (or after two seconds).
void stop_creating_temporaries() noexcept;
void release_temporary(int slot) noexcept;
/// Tells the handlers whether a progress line is on the terminal.
void set_progress_line_shown(bool shown) noexcept;
/// Tells them how to clear it: 0 with "\r\033[K", else (a terminal that
/// knows no such sequence, TERM=dumb) by overwriting this many columns.
void set_progress_line_plain(int columns) noexcept;
/// For the handlers (async-signal-safe): when a progress line is on the
/// terminal, hands `write` the bytes that clear it (from then on it counts
/// as cleared).
void clear_progress_line(void (*write)(const char* data, std::size_t size) noexcept) noexcept;
/// For the handlers (async-signal-safe): hands the name of each registered
/// temporary file to `remove`.
void remove_temporaries(void (*remove)(const std::filesystem::path::value_type* path) noexcept) noexcept;

/// A file held while it is rewritten in place (rekey, --in-place): an exclusive lock that a second
/// run on the same file cannot take, and the file's identity, to learn
/// whether the name still means the file as it was when it was read.
class HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& path);
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile();
    /// Raises a ToolError unless `path` still names the held file, unchanged.
    void check_unchanged() const;
    /// Once check_unchanged has passed, just before the new content takes
    /// the name: lets go of the file where holding it stops the replacement
    /// (Windows, where a file open without delete sharing cannot be
    /// replaced); elsewhere the file stays held until this object goes.
    void release_for_replacement();

private:
    struct Stamp {
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modified = 0;
        bool operator==(const Stamp&) const = default;
    };
    static std::optional<Stamp> stamp_of(const std::filesystem::path& path);
    // The system's side: the file opened and locked (kNoFile when it
    // cannot be opened, or when `busy`: another holds the lock), and whether
    // the open handle still reads the file `now` describes.
    static platform::FileHandle open_locked(const std::filesystem::path& path, bool& busy);
    bool descriptor_is(const Stamp& now) const;
    std::filesystem::path path_;
    platform::FileHandle fd_ = platform::kNoFile;
    std::optional<Stamp> stamp_;
};

/// A new name was given in the folder of `file`: flushes that folder, so
/// that the name survives a crash, or while a FolderFlushBatch is alive,
/// leaves it to the batch.
void folder_changed(const std::filesystem::path& file);

/// While one lives, the folders outputs take their names in are flushed
/// once each, by flush() or at the latest when it goes, instead of once per
/// file: a run of many small files in one folder then costs one folder
/// flush, not one per file. The run calls flush() before it reports
/// success, so that every rename is on disk by then.
class FolderFlushBatch {
public:
    FolderFlushBatch();
    FolderFlushBatch(const FolderFlushBatch&) = delete;
    FolderFlushBatch& operator=(const FolderFlushBatch&) = delete;
    ~FolderFlushBatch();
    /// Flushes the folders named so far: the message of each that fails.
    std::vector<std::string> flush();
};

/// Where one result goes: a new file that takes its name at commit(), or a
/// stream (standard output, a device, a FIFO) written as the result comes.
class Output {
public:
    /// A hidden file beside `dest` with permission bits `mode` (less the
    /// umask), registered for removal on the signals above.
    /// With `keep`, the file it replaces in place: the new file takes its
    /// owner, group and mode at once (or the run fails here, before any
    /// work) and its times at commit().
    static Output new_file(const std::filesystem::path& dest, unsigned mode, std::string name,
                           const FileFacts* keep = nullptr);
    /// An existing device or FIFO, opened for writing.
    static Output into_stream(const std::filesystem::path& dest, std::string name);
    static Output standard_output();

    Output(Output&& other) noexcept;
    Output& operator=(Output&&) = delete;
    Output(const Output&) = delete;
    ~Output();

    /// Raises a ToolError "write error" naming the output.
    void write(std::span<const std::uint8_t> bytes);
    /// Makes the result final: a new file is flushed to disk and takes its
    /// name (replacing a file there only with `replace`; without it an
    /// existing name raises "already exists"); a stream is closed.
    void commit(bool replace);

private:
    Output() = default;
    std::string name_;                               // for messages
    std::filesystem::path dest_, temp_;              // temp_ empty for a stream
    platform::FileHandle file_ = platform::kNoFile;  // a new file, a device or a FIFO
    bool standard_output_ = false;
    int slot_ = -1;
    std::optional<FileFacts> keep_;
    std::uint64_t written_ = 0;  // bytes written to a new file
    std::uint64_t started_ = 0;  // bytes whose write-back has been started
};

}  // namespace clscrypt::tool
