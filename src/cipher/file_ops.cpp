// Whole-file encryption and decryption.
//
// The destination holds exactly what EncryptByte/DecryptByte would make of
// the whole source, but the work streams: the layout (header, message, zero
// fill) is produced chunk by chunk and each chunk goes through the same CBC
// pass with the chaining value and the progress schedule carried over, so
// memory stays at a chunk or two whatever the file's size. Decryption
// writes the chunk before and reads the chunk after while a chunk is
// deciphered: with more than one thread allowed (SetDecryptionThreads) the
// calling thread does those copies in and out of the system while the
// workers decipher, instead of leaving them idle. The total length is
// known before the first block: the source's size when encrypting, the
// descriptor in the first two blocks when decrypting.
//
// The output goes to a new file beside the destination that replaces it only
// once complete and on disk, so no failure (and no crash) leaves a partial
// destination, and a source that is also the destination survives any
// failure. A symbolic link as the destination is followed and its target
// replaced; a FIFO or a device is written into (platform::OutputFile). The
// *FileTo variants hand the same bytes to the caller instead.

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cipher/busy.hpp"
#include "cipher/key_state.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/file.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace detail {

// Where a file operation's output goes: opened once the checks pass, fed
// in order, and made final before the closing Progress event.
struct FileOutput {
    FileOutput() = default;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;
    virtual ~FileOutput() = default;
    virtual void open() = 0;
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
    virtual void finish() = 0;
};

}  // namespace detail

namespace {

// The destination file, replaced once the new content is complete (or
// written into, when it is a FIFO or a device).
class FileDestination final : public detail::FileOutput {
public:
    explicit FileDestination(const std::filesystem::path& dest) : dest_(dest) {}
    void open() override { file_.emplace(dest_); }
    void write(std::span<const std::uint8_t> bytes) override { file_->write(bytes); }
    void finish() override { file_->commit(); }

private:
    const std::filesystem::path& dest_;
    std::optional<platform::OutputFile> file_;
};

// The caller's sink.
class SinkOutput final : public detail::FileOutput {
public:
    explicit SinkOutput(const clsToString::ByteSink& sink) : sink_(sink) {}
    void open() override {}
    void write(std::span<const std::uint8_t> bytes) override { sink_(bytes); }
    void finish() override {}

private:
    const clsToString::ByteSink& sink_;
};

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds stream in small chunks, so that short inputs cross chunk
// boundaries (and the header's end) at many offsets.
constexpr std::size_t kChunk = 40;
#else
constexpr std::size_t kChunk = std::size_t{1} << 20;  // a multiple of 8
#endif
static_assert(kChunk % 8 == 0 && kChunk >= 16);

// The text callers match on, word for word, for both methods.
constexpr const char* kMissingSource = "Error in Skipjack EncryptFile procedure (Source file does not exist).";

void require_source(const std::filesystem::path& source) {
    if (!platform::file_exists(source)) {
        throw RuntimeError(ErrorKind::SourceMissing, errnum::kClassError, kMissingSource, "'" + source.string() + "'");
    }
}

[[noreturn]] void throw_shrank(const std::filesystem::path& source) {
    throw RuntimeError(errnum::kDeviceIoError, StandardDescription(errnum::kDeviceIoError) + ": '" + source.string() +
                                                   "' shrank while it was read");
}

// The chunk buffer for a stream of `total` bytes: one chunk, or less.
std::size_t chunk_size(std::uint64_t total) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total));
}

// Reads exactly `n` bytes of the source; fewer means it shrank since its
// size was read.
void read_exactly(platform::InputFile& in, std::uint8_t* to, std::size_t n, const std::filesystem::path& source) {
    if (in.read(std::span<std::uint8_t>(to, n)) != n) {
        throw_shrank(source);
    }
}

// Calls `chunk(offset, len)` for each chunk of a stream of `total` bytes,
// in order.
template <typename Chunk>
void for_each_chunk(std::uint64_t total, Chunk chunk) {
    for (std::uint64_t done = 0; done < total;) {
        const std::size_t len = chunk_size(total - done);
        chunk(done, len);
        done += len;
    }
}

// The size of a ciphertext source; an empty file holds none.
std::uint64_t ciphertext_size(const platform::InputFile& in, const std::filesystem::path& source) {
    const std::uint64_t m = in.size();
    if (m == 0) {
        throw RuntimeError::FromNumber(ErrorKind::WrongKeyOrDamaged, errnum::kSubscriptOutOfRange,
                                       "'" + source.string() + "' is empty, so it holds no ciphertext");
    }
    return m;
}

// Reads the chunk of ciphertext at `offset` into `buf`; the first chunk's
// two leading blocks are there already, read for the descriptor.
void read_ciphertext_chunk(platform::InputFile& in, std::uint8_t* buf, std::uint64_t offset, std::size_t len,
                           const std::filesystem::path& source) {
    const std::size_t have = offset == 0 ? 16 : 0;
    read_exactly(in, buf + have, len - have, source);
}

// The reads and writes that DecryptFileInto overlaps with deciphering: the
// message part of the deciphered chunk before the current one goes out,
// then the chunk after it comes in (into the buffer just written from).
// Called on the caller's thread, beside the workers deciphering the current
// chunk when threads are allowed, or after it; a failure is kept for the
// caller to raise once the pass returns.
struct ChunkIo {
    ChunkIo(platform::InputFile& from, detail::FileOutput& to, const std::filesystem::path& path, std::uint64_t end)
        : in(from), out(to), source(path), message_end(end) {}

    platform::InputFile& in;
    detail::FileOutput& out;
    const std::filesystem::path& source;
    std::uint64_t message_end;
    // The deciphered chunk to write (none at first) ...
    const std::uint8_t* write_from = nullptr;
    std::uint64_t write_at = 0;
    std::size_t write_len = 0;
    // ... and the ciphertext chunk to read (none at the end).
    std::uint8_t* read_to = nullptr;
    std::uint64_t read_at = 0;
    std::size_t read_len = 0;
    std::exception_ptr failure;

    static void run(void* context) noexcept {
        auto& io = *static_cast<ChunkIo*>(context);
        try {
            if (io.write_from != nullptr) {
                // Keep only the message: the header and the zero fill are dropped.
                const std::uint64_t from = std::max(io.write_at, detail::kHeaderSize);
                const std::uint64_t to = std::min(io.write_at + io.write_len, io.message_end);
                if (from < to) {
                    io.out.write(std::span<const std::uint8_t>(io.write_from + (from - io.write_at),
                                                               static_cast<std::size_t>(to - from)));
                }
                io.write_from = nullptr;
            }
            if (io.read_to != nullptr) {
                read_ciphertext_chunk(io.in, io.read_to, io.read_at, io.read_len, io.source);
            }
        } catch (...) {
            io.failure = std::current_exception();
        }
    }

    void rethrow() {
        if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    }
};

}  // namespace

// Each public operation below only picks its output (the destination file or
// the caller's sink) and runs the one ...Into body; the pairs look alike by design.
void clsToString::EncryptFile(const std::filesystem::path& SourceFile, const std::filesystem::path& DestFile,
                              std::u16string_view Key) {
    FileDestination out(DestFile);
    EncryptFileInto(SourceFile, out, Key);
}

void clsToString::EncryptFileTo(const std::filesystem::path& SourceFile, const ByteSink& Sink,
                                std::u16string_view Key) {
    SinkOutput out(Sink);
    EncryptFileInto(SourceFile, out, Key);
}

void clsToString::EncryptFileInto(const std::filesystem::path& SourceFile, detail::FileOutput& out,
                                  std::u16string_view Key) {
    require_source(SourceFile);
    platform::InputFile in(SourceFile);
    if (!Key.empty()) {
        this->Key(Key);
    }
    const std::uint64_t n = in.size();
    const std::uint64_t t = detail::checked_encrypted_size(n);
    std::uint32_t words[2];
    detail::draw_random_words(words);

    const detail::BusyScope busy(*this);
    out.open();
    platform::WipedBytes buf(chunk_size(t));
    detail::CbcRun run(t, Progress.HasListeners());
    const std::uint64_t message_end = detail::kHeaderSize + n;
    for_each_chunk(t, [&](std::uint64_t produced, std::size_t len) {
        std::size_t pos = 0;
        if (produced == 0) {
            detail::write_header(buf.data(), words, static_cast<std::uint32_t>(n));
            pos = detail::kHeaderSize;
        }
        if (produced + pos < message_end) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(len - pos, message_end - produced - pos));
            read_exactly(in, buf.data() + pos, want, SourceFile);
            pos += want;
        }
        std::memset(buf.data() + pos, 0, len - pos);  // zero fill after the message
        RunCbc<true>(run, buf.data(), len);
        out.write(std::span<const std::uint8_t>(buf.data(), len));
    });
    in.expect_end();
    out.finish();
    CloseProgress(run);
}

void clsToString::DecryptFile(const std::filesystem::path& SourceFile, const std::filesystem::path& DestFile,
                              std::u16string_view Key) {
    FileDestination out(DestFile);
    DecryptFileInto(SourceFile, out, Key);
}

void clsToString::DecryptFileTo(const std::filesystem::path& SourceFile, const ByteSink& Sink,
                                std::u16string_view Key) {
    SinkOutput out(Sink);
    DecryptFileInto(SourceFile, out, Key);
}

void clsToString::DecryptFileInto(const std::filesystem::path& SourceFile, detail::FileOutput& out,
                                  std::u16string_view Key) {
    require_source(SourceFile);
    platform::InputFile in(SourceFile);
    const std::uint64_t m = ciphertext_size(in, SourceFile);
    if (!Key.empty()) {
        this->Key(Key);
    }
    detail::check_cipher_length(m);

    // Two chunk buffers: while one chunk is deciphered, the other is written
    // out and refilled with the next (ChunkIo below).
    platform::WipedBytes first(chunk_size(m));
    read_exactly(in, first.data(), 16, SourceFile);
    // Nothing is created until the descriptor fits: a wrong key or a damaged
    // file leaves no trace.
    const auto s = static_cast<std::uint64_t>(
        detail::checked_descriptor(State().tables, std::span<const std::uint8_t, 16>(first.data(), 16), m));

    const detail::BusyScope busy(*this);
    out.open();
    platform::WipedBytes second(chunk_size(m));
    std::uint8_t* current = first.data();
    std::uint8_t* other = second.data();
    detail::CbcRun run(m, Progress.HasListeners());
    ChunkIo io{in, out, SourceFile, detail::kHeaderSize + s};
    read_ciphertext_chunk(in, current, 0, chunk_size(m), SourceFile);
    // With one thread there is nobody to overlap with: each chunk is read,
    // deciphered and written while it is still in the processor's cache.
    const bool beside = detail::decryption_thread_budget() > 1;
    for_each_chunk(m, [&](std::uint64_t consumed, std::size_t len) {
        // Overlapped, the chunk before this one is written and the next is
        // read into its buffer while this one is deciphered.
        const std::uint64_t next = consumed + len;
        io.read_to = next < m ? (beside ? other : current) : nullptr;
        io.read_at = next;
        io.read_len = next < m ? chunk_size(m - next) : 0;
        const detail::Overlap side{&ChunkIo::run, &io};
        run.overlap = beside ? &side : nullptr;
        RunCbc<false>(run, current, len);
        io.rethrow();
        io.write_from = current;
        io.write_at = consumed;
        io.write_len = len;
        if (beside) {
            std::swap(current, other);
        } else {
            ChunkIo::run(&io);
            io.rethrow();
        }
    });
    // Overlapped, the last chunk is still to be written.
    io.read_to = nullptr;
    ChunkIo::run(&io);
    io.rethrow();
    in.expect_end();
    out.finish();
    CloseProgress(run);
}

void clsToString::RekeyFile(clsToString& From, const std::filesystem::path& SourceFile,
                            const std::filesystem::path& DestFile) {
    FileDestination out(DestFile);
    RekeyFileInto(From, SourceFile, out);
}

void clsToString::RekeyFileTo(clsToString& From, const std::filesystem::path& SourceFile, const ByteSink& Sink) {
    SinkOutput out(Sink);
    RekeyFileInto(From, SourceFile, out);
}

void clsToString::RekeyFileInto(clsToString& From, const std::filesystem::path& SourceFile, detail::FileOutput& out) {
    require_source(SourceFile);
    platform::InputFile in(SourceFile);
    const std::uint64_t m = ciphertext_size(in, SourceFile);
    detail::check_cipher_length(m);
    platform::WipedBytes buf(chunk_size(m));
    read_exactly(in, buf.data(), 16, SourceFile);
    const auto s = static_cast<std::uint64_t>(
        detail::checked_descriptor(From.State().tables, std::span<const std::uint8_t, 16>(buf.data(), 16), m));
    std::uint32_t words[2];
    detail::draw_random_words(words);

    // The message keeps its length, so the new layout has the same size and
    // every message byte stays at its offset: each chunk is deciphered with
    // the old tables, given the new header and a clean zero fill, and
    // enciphered with the new tables.
    const detail::BusyScope busy(*this);
    const detail::BusyScope busy_from(From);
    out.open();
    detail::CbcRun old_run(m, false);
    detail::CbcRun new_run(m, Progress.HasListeners());
    const std::uint64_t message_end = detail::kHeaderSize + s;
    for_each_chunk(m, [&](std::uint64_t consumed, std::size_t len) {
        read_ciphertext_chunk(in, buf.data(), consumed, len, SourceFile);
        From.RunCbc<false>(old_run, buf.data(), len);
        if (consumed == 0) {
            detail::write_header(buf.data(), words, static_cast<std::uint32_t>(s));
        }
        const std::uint64_t fill_from = std::max(consumed, message_end);
        if (fill_from < consumed + len) {
            std::memset(buf.data() + (fill_from - consumed), 0, static_cast<std::size_t>(consumed + len - fill_from));
        }
        RunCbc<true>(new_run, buf.data(), len);
        out.write(std::span<const std::uint8_t>(buf.data(), len));
    });
    in.expect_end();
    out.finish();
    CloseProgress(new_run);
}

}  // namespace clscrypt
