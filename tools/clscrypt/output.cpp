// Where a result goes, above the system's side in files_*.cpp.

#include <map>
#include <mutex>
#include <utility>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

bool is_temporary_name(const std::string& name) {
    // "." NAME "." + 8 letters or digits + ".tmp"
    constexpr std::size_t kTail = 1 + 8 + 4;
    if (name.size() < 1 + 1 + kTail || name.front() != '.') return false;
    const std::size_t dot = name.size() - kTail;
    if (name[dot] != '.' || name.compare(name.size() - 4, 4, ".tmp") != 0) return false;
    for (std::size_t i = dot + 1; i < dot + 9; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

namespace {

// The longest file name most file systems take, in bytes (and on Windows in
// UTF-16 units, never more than the UTF-8 bytes).
constexpr std::size_t kNameMax = 255;

// The part of a destination's name that its hidden temporary name repeats:
// all of it, or when that would make the temporary name too long, its
// start, cut between two characters. The random letters keep the name
// unique, the dot in front keeps it hidden, and its form is still one
// is_temporary_name() knows.
std::string temporary_stem(const std::string& name) {
    constexpr std::size_t kAdded = 1 + 1 + 8 + 4;  // "." NAME "." + 8 letters + ".tmp"
    if (name.size() + kAdded <= kNameMax) return name;
    std::size_t cut = kNameMax - kAdded;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut);
}

}  // namespace

Output Output::new_file(const std::filesystem::path& dest, unsigned mode, std::string name, const FileFacts* keep) {
    Output out;
    out.name_ = std::move(name);
    out.dest_ = dest;
    if (keep) out.keep_ = *keep;
    const std::filesystem::path folder = dest.has_parent_path() ? dest.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
        // Appended piece by piece: g++ 12 at -O3 takes "." + std::string for
        // an overlapping copy (-Wrestrict), a false alarm.
        std::string hidden(1, '.');
        hidden.append(temporary_stem(path_to_utf8(dest.filename())))
            .append(".")
            .append(random_letters(8))
            .append(".tmp");
        out.temp_ = folder / path_from_utf8(hidden);
        // Registered before it exists, so that no signal can come between
        // its creation and its registration.
        out.slot_ = protect_temporary(out.temp_);
        if (out.slot_ < 0) {
            out.temp_.clear();
            throw ToolError(out.name_ + ": too many files written at once to remove them all on a signal",
                            kExitFailure);
        }
        bool exists = false;
        std::string error;
        {
            const CreationGuard creating;
            out.fd_ = create_exclusive(out.temp_, mode, exists, error);
        }
        if (out.fd_ >= 0) {
            out.owns_fd_ = true;
            if (out.keep_ && !keep_owner_and_mode(out.fd_, *out.keep_, error)) {
                throw ToolError(out.name_ + ": cannot keep the owner, group and mode of the file (" + error +
                                    "); nothing was replaced",
                                kExitFailure);
            }
            return out;
        }
        release_temporary(std::exchange(out.slot_, -1));
        if (!exists) {
            out.temp_.clear();
            throw ToolError(out.name_ + ": cannot create a file beside it: " + error, kExitFailure);
        }
    }
    out.temp_.clear();
    throw ToolError(out.name_ + ": cannot find a free temporary name beside it", kExitFailure);
}

Output Output::into_stream(const std::filesystem::path& dest, std::string name) {
    Output out;
    out.name_ = std::move(name);
    out.dest_ = dest;
    std::string error;
    out.fd_ = open_existing_for_writing(dest, error);
    if (out.fd_ < 0) throw ToolError(out.name_ + ": cannot open it for writing: " + error, kExitFailure);
    out.owns_fd_ = true;
    return out;
}

Output Output::standard_output() {
    Output out;
    out.name_ = "standard output";
    out.fd_ = kStdoutFd;
    out.owns_fd_ = true;  // closed, and the close checked, at commit()
    return out;
}

Output::Output(Output&& other) noexcept
    : name_(std::move(other.name_)),
      dest_(std::move(other.dest_)),
      temp_(std::exchange(other.temp_, {})),
      fd_(std::exchange(other.fd_, -1)),
      owns_fd_(std::exchange(other.owns_fd_, false)),
      slot_(std::exchange(other.slot_, -1)),
      keep_(std::move(other.keep_)),
      written_(other.written_),
      started_(other.started_) {}

Output::~Output() {
    if (owns_fd_ && fd_ >= 0) {
        std::string ignored;  // the result is being abandoned: only the temporary file matters
        close_checked(fd_, ignored);
    }
    if (!temp_.empty()) remove_file(temp_);
    release_temporary(slot_);
}

void Output::write(std::span<const std::uint8_t> bytes) {
    std::string error;
    if (!write_fd(fd_, bytes.data(), bytes.size(), error)) {
        throw ToolError("write error: " + name_ + ": " + error, kExitFailure);
    }
    if (temp_.empty()) return;
    written_ += bytes.size();
    constexpr std::uint64_t kWriteBack = std::uint64_t{1} << 20;
    if (written_ - started_ >= kWriteBack) {
        start_write_back(fd_, started_, written_ - started_);
        started_ = written_;
    }
}

void Output::commit(bool replace) {
    std::string error;
    // After the last write, which set the modification time.
    if (!temp_.empty() && keep_ && !keep_times(fd_, *keep_, error)) {
        throw ToolError(name_ + ": cannot keep the times of the file (" + error + "); nothing was replaced",
                        kExitFailure);
    }
    if (!temp_.empty() && !flush_to_disk(fd_, error)) {
        throw ToolError("write error: " + name_ + ": " + error, kExitFailure);
    }
    const int fd = std::exchange(fd_, -1);
    if (owns_fd_ && !close_checked(fd, error)) throw ToolError("write error: " + name_ + ": " + error, kExitFailure);
    if (temp_.empty()) return;
    switch (rename_file(temp_, dest_, replace, error)) {
        case RenameResult::Done: break;
        case RenameResult::Exists: throw ToolError(name_ + ": already exists; use -f to overwrite it", kExitFailure);
        case RenameResult::Failed: throw ToolError(name_ + ": cannot write it: " + error, kExitFailure);
    }
    temp_.clear();
    release_temporary(std::exchange(slot_, -1));
    folder_changed(dest_);
}

namespace {

// The folders whose flush waits for the end of a run: one file's name in
// each (flush_folder_of takes a file). Empty while flushes are not batched.
std::mutex g_folders_lock;
std::map<std::filesystem::path, std::filesystem::path> g_folders;
bool g_batching = false;

}  // namespace

void folder_changed(const std::filesystem::path& file) {
    {
        const std::lock_guard<std::mutex> lock(g_folders_lock);
        if (g_batching) {
            std::filesystem::path folder = file.parent_path();
            g_folders.emplace(std::move(folder), file);
            return;
        }
    }
    flush_folder_of(file);
}

FolderFlushBatch::FolderFlushBatch() {
    const std::lock_guard<std::mutex> lock(g_folders_lock);
    g_batching = true;
}

FolderFlushBatch::~FolderFlushBatch() {
    flush();
    const std::lock_guard<std::mutex> lock(g_folders_lock);
    g_batching = false;
}

void FolderFlushBatch::flush() {
    std::map<std::filesystem::path, std::filesystem::path> folders;
    {
        const std::lock_guard<std::mutex> lock(g_folders_lock);
        folders.swap(g_folders);
    }
    for (const auto& [folder, file] : folders) flush_folder_of(file);
}

}  // namespace clscrypt::tool
