// encrypt and decrypt over standard input or --text, to standard output or
// -o OUT. Standard input is read whole before anything is written: the
// format stores the message length in its first block. Up to a threshold it
// is held in memory, past it in an unnamed temporary file, so that a large
// pipe costs disk, not memory.

#include <algorithm>
#include <charconv>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "cipher_shared.hpp"
#include "common/utf.hpp"
#include "platform/file.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace fs = std::filesystem;

namespace {

// Standard input, whole: in memory up to a threshold, past it in an
// unnamed temporary file, so that a large pipe costs disk, not memory.
struct StandardInput {
    std::vector<std::uint8_t> bytes;                 // when held in memory
    platform::FileHandle spool = platform::kNoFile;  // the temporary file, read from its start
    std::uint64_t size = 0;
    StandardInput() = default;
    StandardInput(const StandardInput&) = delete;
    StandardInput& operator=(const StandardInput&) = delete;
    ~StandardInput() {
        std::error_code ignored;  // only read: nothing to lose
        if (spooled()) platform::close_file(spool, ignored);
    }
    [[nodiscard]] bool spooled() const { return spool != platform::kNoFile; }
};

// How much of standard input is held in memory before it goes to a
// temporary file: 64 MiB. CLSCRYPT_SPOOL_THRESHOLD (bytes) lowers it; it
// is there for the tests, which cannot push 64 MiB through a pipe quickly,
// and is no documented option.
std::uint64_t spool_threshold() {
    constexpr std::uint64_t kDefault = std::uint64_t{64} << 20;
    const auto given = environment_variable("CLSCRYPT_SPOOL_THRESHOLD");
    if (!given) return kDefault;
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(given->data(), given->data() + given->size(), n);
    return ec == std::errc() && end == given->data() + given->size() ? n : kDefault;
}

// Ciphertext's hexadecimal text read a piece at a time by the library's
// reader (ReadHex's rule and positions), with the tool's messages: the
// bytes are held, never the text.
class HexPieces {
public:
    explicit HexPieces(std::string what) : what_(std::move(what)) {}

    // Appends the bytes the digits of `text` complete to `out`.
    void decode(std::span<const std::uint8_t> text, std::vector<std::uint8_t>& out) {
        const std::size_t bad =
            reader_.Read(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), out);
        // Everything before the fault is ASCII, so bytes count characters.
        if (bad != 0) {
            throw UsageError(what_ + " is not hexadecimal text (a character that is not a digit at position " +
                             std::to_string(bad) + ")");
        }
    }
    void finish() const {
        if (reader_.Finish() != 0) throw UsageError(what_ + " has an odd number of hexadecimal digits");
    }

private:
    std::string what_;
    clscrypt::HexReader reader_;
};

// Reads standard input whole; refused as soon as it passes `limit` bytes
// (of the ciphertext its digits give, with `hex`). In memory, it is one
// buffer with `room` bytes to spare (so the cipher works in place),
// gathered from pieces freed as they go, so memory never holds more than
// one copy and a piece. With `spool`, an input longer than
// spool_threshold() goes to a temporary file instead.
void read_standard_input(StandardInput& in, std::uint64_t limit, std::size_t room, bool spool,
                         HexPieces* hex = nullptr) {
    const std::string too_large = "standard input: too large for this format (at most " + std::to_string(limit) +
                                  (hex ? " bytes of ciphertext" : " bytes") + "); encrypt it as a file, or split it";
    if (const auto size = remaining_file_size(kStdinFd); !hex && size && *size > limit) {
        throw ToolError(too_large, kExitFailure);
    }
    const std::uint64_t threshold = spool ? spool_threshold() : limit;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::uint64_t total = 0;
    for (bool more = true; more;) {
        std::vector<std::uint8_t> piece(kPiece);
        std::size_t filled = 0;
        while (filled < kPiece) {
            std::string error;
            const long long got = read_some(kStdinFd, piece.data() + filled, kPiece - filled, error);
            if (got < 0) throw ToolError("cannot read standard input: " + error, kExitFailure);
            if (got == 0) {
                more = false;
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        piece.resize(filled);
        if (hex) {
            std::vector<std::uint8_t> bytes;
            bytes.reserve(filled / 2);
            hex->decode(piece, bytes);
            piece = std::move(bytes);
            filled = piece.size();
            if (!more) hex->finish();
        }
        total += filled;
        if (total > limit) throw ToolError(too_large, kExitFailure);
        pieces.push_back(std::move(piece));
        if (total <= threshold) continue;
        std::error_code ec;
        if (!in.spooled()) {
            fs::path folder;
            in.spool = platform::create_unnamed_file(folder, ec);
            if (!in.spooled()) {
                throw ToolError("standard input: cannot make a temporary file to hold it (TMPDIR " +
                                    shown_path(folder) + ": " + ec.message() + ")",
                                kExitFailure);
            }
        }
        for (auto& held : pieces) {
            if (!platform::write_file(in.spool, held, ec)) {
                throw ToolError("standard input: cannot hold it in a temporary file: " + ec.message(), kExitFailure);
            }
        }
        pieces.clear();
    }
    in.size = total;
    if (in.spooled()) {
        std::error_code ec;
        if (!platform::rewind_file(in.spool, ec)) {
            throw ToolError("standard input: cannot read back its temporary file: " + ec.message(), kExitFailure);
        }
        return;
    }
    in.bytes.reserve(static_cast<std::size_t>(total) + room);
    for (auto& piece : pieces) {
        in.bytes.insert(in.bytes.end(), piece.begin(), piece.end());
        std::vector<std::uint8_t>().swap(piece);
    }
}

void write_hex(Output& out, std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kSlice = std::size_t{1} << 16;
    for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
        const std::size_t n = std::min(kSlice, bytes.size() - at);
        const std::string hex = WriteHex(bytes.subspan(at, n));
        out.write(std::span(reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size()));
    }
}

void write_line_end(Output& out) {
    out.write(std::span(reinterpret_cast<const std::uint8_t*>("\n"), 1));
}

// A spooled standard input through the cipher's streams, a piece at a
// time: the whole length is known, as the format needs it up front.
void convert_spooled(clsToString& cipher, StandardInput& in, Output& out, Mode mode, bool hex) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::uint8_t> piece(kPiece), result;
    std::optional<EncryptStream> encrypting;
    std::optional<DecryptStream> decrypting;
    if (mode == Mode::Encrypt) {
        encrypting.emplace(cipher, in.size);
    } else {
        decrypting.emplace(cipher, std::u16string_view{}, in.size);
    }
    const auto put = [&] {
        if (hex) {
            write_hex(out, result);
        } else {
            out.write(result);
        }
        result.clear();
    };
    for (std::uint64_t left = in.size; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, left));
        std::size_t filled = 0;
        std::error_code ec;
        if (!platform::read_file(in.spool, std::span(piece.data(), want), filled, ec) || filled < want) {
            throw ToolError("standard input: cannot read back its temporary file: " +
                                (ec ? ec.message() : std::string("it ended early")),
                            kExitFailure);
        }
        left -= filled;
        const std::span<const std::uint8_t> chunk(piece.data(), filled);
        if (encrypting) {
            encrypting->Update(chunk, result);
        } else {
            decrypting->Update(chunk, result);
        }
        put();
    }
    if (encrypting) {
        encrypting->Final(result);
    } else {
        decrypting->Final();
    }
    put();
    Wipe(piece.data(), piece.size());
}

// Where -o sends the result of standard input or --text.
Output filter_output(const CipherOptions& o, Mode mode, bool binary) {
    if (o.output.empty() || o.output == "-") {
        if (binary && !o.force && stdout_is_terminal()) {
            throw UsageError("will not write binary ciphertext to a terminal; redirect it, add --hex, or use -f");
        }
        return Output::standard_output();
    }
    const Target t = output_for({}, o, mode);
    if (t.standard_output) return Output::standard_output();
    if (t.kind == NodeKind::Stream) return Output::into_stream(t.path, t.name());
    return Output::new_file(t.path, 0666, t.name());
}

}  // namespace

int run_filter(clsToString& cipher, const CipherOptions& o, Mode mode) {
    const std::string what = o.text_given ? "--text" : "standard input";
    Output out = filter_output(o, mode, mode == Mode::Encrypt && !o.hex);
    try {
        std::vector<std::uint8_t> bytes;
        if (o.text_given && mode == Mode::Encrypt) {
            // A string: its characters go through the code page, as the string operation does.
            bytes = cipher.GetCodePage().Encode(utf8_to_utf16(o.text, "--text"));
        } else if (mode == Mode::Decrypt && o.text_given) {
            // Hexadecimal ciphertext, read by the library's one rule.
            bytes = read_ciphertext_hex(o.text, what);
        } else {
            // With --hex, decryption reads hexadecimal ciphertext (by the
            // same rule, a piece at a time) and encryption writes it.
            const bool hex_in = mode == Mode::Decrypt && o.hex;
            const bool hex_out = mode == Mode::Encrypt && o.hex;
            StandardInput in;
            HexPieces digits(what);
            read_standard_input(in, mode == Mode::Encrypt ? MaxMessageLength : MaxCiphertextLength, 24, true,
                                hex_in ? &digits : nullptr);
            if (in.spooled()) {
                convert_spooled(cipher, in, out, mode, hex_out);
                if (hex_out) write_line_end(out);
                out.commit(o.force);
                return kExitOk;
            }
            bytes = std::move(in.bytes);
        }
        if (mode == Mode::Encrypt) {
            cipher.EncryptByte(bytes);
            if (o.hex) {
                write_hex(out, bytes);
                write_line_end(out);
            } else {
                out.write(bytes);
            }
        } else {
            cipher.DecryptByte(bytes);
            if (o.text_given) {
                const std::string text = common::utf16_to_utf8(cipher.GetCodePage().Decode(bytes)) + "\n";
                out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
            } else {
                out.write(bytes);
            }
        }
        out.commit(o.force);
        return kExitOk;
    } catch (const RuntimeError& e) {
        throw explain(e, what, mode);
    }
}

}  // namespace clscrypt::tool
