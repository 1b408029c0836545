// Where a result goes, above the system's side in files_*.cpp.

#include <mutex>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

// The system's words for an error code.
std::string reason(const std::error_code& ec) {
    return ec.message();
}

}  // namespace

Output Output::new_file(const std::filesystem::path& dest, unsigned mode, std::string name, const FileFacts* keep) {
    Output out;
    out.name_ = std::move(name);
    out.dest_ = dest;
    if (keep) out.keep_ = *keep;
    const std::filesystem::path folder = dest.has_parent_path() ? dest.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
        out.temp_ = platform::temporary_name_beside(folder, dest.filename());
        // Registered before it exists, so that no signal can come between
        // its creation and its registration.
        out.slot_ = protect_temporary(out.temp_);
        if (out.slot_ < 0) {
            out.temp_.clear();
            throw ToolError(out.name_ + ": too many files written at once to remove them all on a signal",
                            kExitFailure);
        }
        bool exists = false;
        std::error_code ec;
        {
            const CreationGuard creating;
            out.file_ = platform::create_new_file(out.temp_, mode, exists, ec);
        }
        if (out.file_ != platform::kNoFile) {
            if (out.keep_ && !keep_owner_and_mode(out.file_, *out.keep_, ec)) {
                throw ToolError(out.name_ + ": cannot keep the owner, group and mode of the file (" + reason(ec) +
                                    "); nothing was replaced",
                                kExitFailure);
            }
            return out;
        }
        release_temporary(std::exchange(out.slot_, -1));
        if (!exists) {
            out.temp_.clear();
            throw ToolError(out.name_ + ": cannot create a file beside it: " + reason(ec), kExitFailure);
        }
    }
    out.temp_.clear();
    throw ToolError(out.name_ + ": cannot find a free temporary name beside it", kExitFailure);
}

Output Output::into_stream(const std::filesystem::path& dest, std::string name) {
    Output out;
    out.name_ = std::move(name);
    out.dest_ = dest;
    std::error_code ec;
    out.file_ = platform::open_for_writing(dest, ec);
    if (out.file_ == platform::kNoFile) {
        throw ToolError(out.name_ + ": cannot open it for writing: " + reason(ec), kExitFailure);
    }
    return out;
}

Output Output::standard_output() {
    Output out;
    out.name_ = "standard output";
    out.standard_output_ = true;  // closed, and the close checked, at commit()
    return out;
}

Output::Output(Output&& other) noexcept
    : name_(std::move(other.name_)),
      dest_(std::move(other.dest_)),
      temp_(std::exchange(other.temp_, {})),
      file_(std::exchange(other.file_, platform::kNoFile)),
      standard_output_(std::exchange(other.standard_output_, false)),
      slot_(std::exchange(other.slot_, -1)),
      keep_(std::move(other.keep_)),
      written_(other.written_),
      started_(other.started_) {}

Output::~Output() {
    // The result is being abandoned: only the temporary file matters.
    std::error_code ignored;
    if (file_ != platform::kNoFile) platform::close_file(file_, ignored);
    if (!temp_.empty()) platform::remove_file(temp_);
    release_temporary(slot_);
}

void Output::write(std::span<const std::uint8_t> bytes) {
    if (standard_output_) {
        std::string error;
        if (!write_fd(kStdoutFd, bytes.data(), bytes.size(), error)) {
            throw ToolError("write error: " + name_ + ": " + error, kExitFailure);
        }
        return;
    }
    std::error_code ec;
    if (!platform::write_file(file_, bytes, ec)) {
        throw ToolError("write error: " + name_ + ": " + reason(ec), kExitFailure);
    }
    if (temp_.empty()) return;
    written_ += bytes.size();
    constexpr std::uint64_t kWriteBack = std::uint64_t{1} << 20;
    if (written_ - started_ >= kWriteBack) {
        platform::start_write_back(file_, started_, written_ - started_);
        started_ = written_;
    }
}

void Output::commit(bool replace) {
    std::string error;
    if (standard_output_) {
        standard_output_ = false;
        if (!close_checked(kStdoutFd, error)) throw ToolError("write error: " + name_ + ": " + error, kExitFailure);
        return;
    }
    std::error_code ec;
    // After the last write, which set the modification time.
    if (!temp_.empty() && keep_ && !keep_times(file_, *keep_, ec)) {
        throw ToolError(name_ + ": cannot keep the times of the file (" + reason(ec) + "); nothing was replaced",
                        kExitFailure);
    }
    if (!temp_.empty() && !platform::flush_file(file_, ec)) {
        throw ToolError("write error: " + name_ + ": " + reason(ec), kExitFailure);
    }
    if (!platform::close_file(std::exchange(file_, platform::kNoFile), ec)) {
        throw ToolError("write error: " + name_ + ": " + reason(ec), kExitFailure);
    }
    if (temp_.empty()) return;
    switch (platform::rename_file(temp_, dest_, replace, ec)) {
        case platform::RenameResult::Done: break;
        case platform::RenameResult::Exists:
            throw ToolError(name_ + ": already exists; use -f to overwrite it", kExitFailure);
        case platform::RenameResult::Failed: throw ToolError(name_ + ": cannot write it: " + reason(ec), kExitFailure);
    }
    temp_.clear();
    release_temporary(std::exchange(slot_, -1));
    folder_changed(dest_);
}

namespace {

// The folders whose flush waits for the end of a run. Empty while flushes
// are not batched.
std::mutex g_folders_lock;
std::set<std::filesystem::path> g_folders;
bool g_batching = false;

std::filesystem::path folder_of(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The file is complete and named; only its name could be lost in a crash,
// which the message says.
void flush_folder_or_raise(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!platform::flush_folder(folder, ec)) {
        throw ToolError(shown_path(folder) +
                            ": cannot flush the folder to disk, so a name given in it may not "
                            "survive a crash: " +
                            reason(ec),
                        kExitFailure);
    }
}

}  // namespace

void folder_changed(const std::filesystem::path& file) {
    {
        const std::lock_guard<std::mutex> lock(g_folders_lock);
        if (g_batching) {
            g_folders.insert(folder_of(file));
            return;
        }
    }
    flush_folder_or_raise(folder_of(file));
}

FolderFlushBatch::FolderFlushBatch() {
    const std::lock_guard<std::mutex> lock(g_folders_lock);
    g_batching = true;
}

FolderFlushBatch::~FolderFlushBatch() {
    // A run that ends by an exception flushes what it named all the same;
    // its own error is the one reported.
    std::set<std::filesystem::path> folders;
    {
        const std::lock_guard<std::mutex> lock(g_folders_lock);
        folders.swap(g_folders);
        g_batching = false;
    }
    std::error_code ignored;
    for (const auto& folder : folders) platform::flush_folder(folder, ignored);
}

std::vector<std::string> FolderFlushBatch::flush() {
    std::set<std::filesystem::path> folders;
    {
        const std::lock_guard<std::mutex> lock(g_folders_lock);
        folders.swap(g_folders);
    }
    std::vector<std::string> failures;
    for (const auto& folder : folders) {
        try {
            flush_folder_or_raise(folder);
        } catch (const ToolError& e) {
            failures.emplace_back(e.what());
        }
    }
    return failures;
}

}  // namespace clscrypt::tool
