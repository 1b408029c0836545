#pragma once

// Files, the way the cipher needs them: a source read front to back, and a
// destination replaced only once its new content is complete and on disk
// (or, when it is a FIFO or a device, written into).
// Every failure raises RuntimeError with the run-time number a caller of the
// legacy class tested for, a description naming the path and the system's
// reason, and the system's error code.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

namespace clscrypt::platform {

/// An open file as the system knows it: a file descriptor (file_posix.cpp)
/// or a Windows HANDLE (file_windows.cpp).
#if defined(_WIN32)
using FileHandle = void*;
inline constexpr FileHandle kNoFile = nullptr;
#else
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;
#endif

/// What a failed file operation was doing: it decides between numbers that
/// the same system error maps to (a missing name is "File not found" when
/// opening, "Path not found" when creating in a folder).
enum class FileOp { Open, Read, Create, Write, Replace };

/// Raises the RuntimeError for system error `err` (errno, or GetLastError()
/// on Windows) during `op` on `path`.
[[noreturn]] void throw_file_error(int err, FileOp op, const std::filesystem::path& path, const char* doing);

/// The run-time error number for a system error during `op` (each system's
/// file maps its own codes).
std::int32_t file_error_number(int err, FileOp op) noexcept;

/// A hidden name for a new file in `folder` beside `filename`:
/// ".NAME.XXXXXXXX.tmp", with eight random letters and digits from the
/// system's random source. When the whole would pass the 255 bytes (UTF-16
/// units on Windows) a name may have, NAME is cut short, between two
/// characters: the letters keep it unique.
std::filesystem::path temporary_name_beside(const std::filesystem::path& folder, const std::filesystem::path& filename);

/// Whether `filename` has the form temporary_name_beside gives.
bool is_temporary_name(const std::filesystem::path& filename);

// The steps of a crash-safe output one by one, for callers that word their
// own messages (the command-line tool): each failure returns the system's
// error code in `ec` (errno, or GetLastError() on Windows) and raises
// nothing.

/// Creates `path` for writing, failing when the name exists (no link is
/// followed there; `exists` tells that case): kNoFile on failure. `mode` is
/// the permission bits, less the umask (on Windows, read-only without the
/// owner's write bit). On Windows the file is shared for deletion, so that
/// a console handler can remove it while it is open.
FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, bool& exists, std::error_code& ec);
/// Opens an existing file for reading (never a terminal to control):
/// kNoFile on failure.
FileHandle open_for_reading(const std::filesystem::path& path, std::error_code& ec);
/// Opens an existing file, device or FIFO for writing, neither creating
/// nor truncating it: kNoFile on failure.
FileHandle open_for_writing(const std::filesystem::path& path, std::error_code& ec);
/// Closes a handle; false with the reason when the close reports a failure
/// (the handle is released all the same).
bool close_file(FileHandle handle, std::error_code& ec);
/// Writes all of `data`.
bool write_file(FileHandle handle, std::span<const std::uint8_t> data, std::error_code& ec);
/// Starts writing a range of a file to disk without waiting for it, so that
/// the disk works while more is enciphered and the final flush finds little
/// left. A failure changes nothing: the flush reports.
void start_write_back(FileHandle handle, std::uint64_t offset, std::uint64_t length) noexcept;
/// Flushes a file's content to disk.
bool flush_file(FileHandle handle, std::error_code& ec);

enum class RenameResult { Done, Exists, Failed };
/// Gives `from` the name `to` atomically. With `replace` a file there is
/// replaced; without, an existing `to` is never replaced (Exists): a
/// no-replace rename where the system has one, else a second hard link and
/// the removal of the first, else (a file system without links) a check
/// and a rename.
RenameResult rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                         std::error_code& ec);
/// Flushes a folder, so that the names given in it survive a crash. A file
/// system that cannot flush folders (and Windows, where the rename itself is
/// written through) counts as done.
bool flush_folder(const std::filesystem::path& folder, std::error_code& ec);
/// Removes a file's name; a failure is left unsaid (for clean-up).
void remove_file(const std::filesystem::path& path) noexcept;

/// A file with no name, open for reading and writing, in the system's
/// folder for temporary files (TMPDIR on POSIX): it goes with its last
/// handle, whatever ends the process. kNoFile on failure, with the folder
/// tried in `folder`.
FileHandle create_unnamed_file(std::filesystem::path& folder, std::error_code& ec);
/// What a name is on disk, symbolic links followed.
enum class NodeKind {
    Missing,
    Regular,
    Folder,
    Stream,  // a character device, a FIFO or a socket: written into
    Other,   // a block device and the like: neither written into nor replaced
};
NodeKind node_kind(const std::filesystem::path& path);

/// What a file is, symbolic links followed: its identity, the number of its
/// names, and what an in-place rewrite keeps of it.
struct FileFacts {
    std::uint64_t device = 0, inode = 0, links = 1;
    std::uint32_t owner = 0, group = 0;
    unsigned mode = 0;  // the permission bits with set-user-ID, set-group-ID and sticky
    std::int64_t accessed_s = 0, accessed_ns = 0, modified_s = 0, modified_ns = 0;
    bool has_times = true;  // false where the times could not be read
};
std::optional<FileFacts> file_facts(const std::filesystem::path& path);

/// Gives the new file open on `file` the owner, group and mode of `facts`.
/// False, with the system's error, where they cannot be given.
bool keep_owner_and_mode(FileHandle file, const FileFacts& facts, std::error_code& ec);
/// Gives it the access and modification times of `facts`.
bool keep_times(FileHandle file, const FileFacts& facts, std::error_code& ec);

/// The permission bits of a file (0666 when they cannot be read).
unsigned permission_bits(const std::filesystem::path& path);

/// Reads up to out.size() bytes (fewer only at the end): how many in `got`.
bool read_file(FileHandle handle, std::span<std::uint8_t> out, std::size_t& got, std::error_code& ec);
/// Moves a file's offset back to its start.
bool rewind_file(FileHandle handle, std::error_code& ec);

/// True when the size of the file `path` names can be read; any failure of
/// that query counts as "no".
bool file_exists(const std::filesystem::path& path) noexcept;

/// A regular file opened for reading. Move-only; closes itself.
class InputFile {
public:
    explicit InputFile(const std::filesystem::path& path);
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
    /// Reads up to out.size() bytes; returns fewer only at the end of file.
    std::size_t read(std::span<std::uint8_t> out);
    /// Raises "Device I/O error" unless the file ends exactly here: the
    /// source must not have grown while it was read.
    void expect_end();
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

private:
    FileHandle fd_ = kNoFile;
    std::uint64_t size_ = 0;
    std::filesystem::path path_;
};

/// The file `dest` means when it is written: a symbolic link there is
/// followed, link after link, to the name at the end of the chain, which need
/// not exist yet (a dangling link's target is what gets created). Any other
/// name is returned as it is. Raises "Path/File access error" for a chain
/// that does not end. On Windows a link whose target does not exist is left
/// as it is (file_windows.cpp).
std::filesystem::path followed_links(const std::filesystem::path& dest);

/// The output of a file operation, at `dest` with its links followed
/// (followed_links). What the name holds decides how it is written:
///
/// - a regular file, or nothing yet: the new content goes to a temporary
///   file created exclusively beside it. commit() flushes that to disk, gives
///   it the permissions of the file it replaces, renames it over the name
///   and flushes the folder, so that after a crash the name holds either the
///   old file or the complete new one. Destroyed without commit(), the
///   temporary file is removed and the name is untouched.
/// - anything else (a FIFO, a device): opened for writing and written into,
///   as a shell's redirection would, never replaced and never truncated
///   (a socket, which cannot be opened so, raises "Device I/O error").
///   commit() flushes a block device and closes it; what was written before
///   a failure stays written (a FIFO's reader has it already).
/// - a folder: "Path/File access error".
class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& dest);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    void write(std::span<const std::uint8_t> data);
    void commit();

private:
    // The two ways of opening, both leaving fd_ open.
    void create_temporary();
    void open_stream();

    FileHandle fd_ = kNoFile;
    std::filesystem::path dest_;  // the links followed
    std::filesystem::path temp_;  // empty for a stream, and once committed
    bool stream_ = false;
    std::uint64_t written_ = 0;  // bytes written so far
    // Bytes whose write-back to disk has been started (where the system can
    // be asked to start it).
    [[maybe_unused]] std::uint64_t started_ = 0;
};

}  // namespace clscrypt::platform
