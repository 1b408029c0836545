// Whole files: the same bytes and progress as the in-memory operations,
// crash-safe replacement, and the errors file callers test for, including
// injected faults (an unwritable folder, a full disk, a killed process).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "clscrypt/clscrypt.hpp"
#include "platform/file.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs `f` in a child process; returns its exit code, or 128 + the signal
// that ended it.
int in_child(const std::function<int()>& f) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 100;
        try {
            code = f();
        } catch (...) {
            code = 101;
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/clscrypt-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    fs::path at(const char* name) const { return dir_ / name; }
    // The names in the folder, to prove nothing was left behind.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
};

TEST_F(Files, RoundTripsAcrossChunkBoundariesAndMatchTheByteOperations) {
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5}, std::size_t{4083},
                                (std::size_t{1} << 20) - 12, (std::size_t{1} << 20) - 11, std::size_t{3u << 20} + 5}) {
        const auto message = random_bytes(n);
        write_file(at("plain"), message);
        clsToString c;
        c.EncryptFile(at("plain"), at("cipher"), u"file key");
        auto cipher = read_file(at("cipher"));
        ASSERT_EQ(cipher.size(), (n + 12 + 7) / 8 * 8) << n;

        // A file written by EncryptFile is what DecryptByte reads...
        auto bytes = cipher;
        c.DecryptByte(bytes);
        ASSERT_EQ(bytes, message) << n;
        // ...and DecryptFile reads what EncryptByte writes.
        bytes = message;
        c.EncryptByte(bytes);
        write_file(at("cipher2"), bytes);
        c.DecryptFile(at("cipher2"), at("back"));
        ASSERT_EQ(read_file(at("back")), message) << n;
        c.DecryptFile(at("cipher"), at("back"));
        ASSERT_EQ(read_file(at("back")), message) << n;
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"back", "cipher", "cipher2", "plain"}));
}

TEST_F(Files, SinkVariantsStreamTheSameBytesAndNothingBeforeTheChecks) {
    clsToString c, target;
    c.Key(u"old");
    target.Key(u"new");
    std::vector<std::uint8_t> out;
    std::vector<std::string> events;  // pieces and the closing Progress event, in order
    const clsToString::ByteSink sink = [&](std::span<const std::uint8_t> bytes) {
        EXPECT_LE(bytes.size(), std::size_t{1} << 20);
        out.insert(out.end(), bytes.begin(), bytes.end());
        events.push_back("piece");
    };
    target.Progress.Subscribe([&](std::int32_t& p) {
        if (p == 100) events.push_back("100");
    });
    for (const std::size_t n :
         {std::size_t{0}, std::size_t{5}, (std::size_t{1} << 20) - 11, std::size_t{3u << 20} + 5}) {
        const auto message = random_bytes(n);
        write_file(at("plain"), message);
        out.clear();
        c.EncryptFileTo(at("plain"), sink);
        auto bytes = out;
        c.DecryptByte(bytes);
        ASSERT_EQ(bytes, message) << n;
        write_file(at("cipher"), out);
        out.clear();
        c.DecryptFileTo(at("cipher"), sink);
        ASSERT_EQ(out, message) << n;
        out.clear();
        events.clear();
        target.RekeyFileTo(c, at("cipher"), sink);
        ASSERT_EQ(events.back(), "100") << n;
        bytes = out;
        target.DecryptByte(bytes);
        ASSERT_EQ(bytes, message) << n;
    }
    // A wrong key gives the sink nothing; the sink's own exception passes through.
    out.clear();
    clsToString wrong;
    wrong.Key(u"wrong");
    EXPECT_EQ(error_number([&] { wrong.DecryptFileTo(at("cipher"), sink); }), RuntimeError::ClassError);
    EXPECT_TRUE(out.empty());
    EXPECT_THROW(c.EncryptFileTo(at("plain"), [](std::span<const std::uint8_t>) { throw std::logic_error("full"); }),
                 std::logic_error);
    EXPECT_EQ(listing(), (std::vector<std::string>{"cipher", "plain"}));
}

TEST_F(Files, ProgressValuesAreThoseOfTheInMemoryOperation) {
    const auto message = random_bytes((std::size_t{2} << 20) + 3);  // several chunks
    write_file(at("plain"), message);
    clsToString c;
    c.Key(u"k");
    std::vector<std::int32_t> file_events, memory_events;
    std::vector<std::int32_t>* sink = &file_events;
    c.Progress.Subscribe([&](std::int32_t& p) { sink->push_back(p); });
    c.EncryptFile(at("plain"), at("cipher"));
    sink = &memory_events;
    auto bytes = message;
    c.EncryptByte(bytes);
    EXPECT_EQ(file_events, memory_events);
    EXPECT_EQ(file_events.size(), 101U);

    file_events.clear();
    memory_events.clear();
    sink = &file_events;
    c.DecryptFile(at("cipher"), at("back"));
    sink = &memory_events;
    c.DecryptByte(bytes);
    EXPECT_EQ(file_events, memory_events);
}

TEST_F(Files, SameSourceAndDestinationAndALongerExistingDestination) {
    const auto message = random_bytes(1000);
    write_file(at("f"), message);
    clsToString c;
    c.EncryptFile(at("f"), at("f"), u"in place");
    EXPECT_EQ(read_file(at("f")).size(), 1016U);
    c.DecryptFile(at("f"), at("f"));
    EXPECT_EQ(read_file(at("f")), message);

    write_file(at("long"), random_bytes(5000));
    write_file(at("short"), {1, 2, 3});
    c.EncryptFile(at("short"), at("long"));
    EXPECT_EQ(read_file(at("long")).size(), 16U);
    EXPECT_EQ(listing(), (std::vector<std::string>{"f", "long", "short"}));
}

TEST_F(Files, ExistingDestinationKeepsItsPermissions) {
    write_file(at("plain"), {1, 2, 3});
    write_file(at("dest"), {9});
    fs::permissions(at("dest"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    clsToString c;
    c.EncryptFile(at("plain"), at("dest"), u"k");
    EXPECT_EQ(fs::status(at("dest")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(Files, EmptySourceIsAValidMessageButNoCiphertext) {
    write_file(at("empty"), {});
    clsToString c;
    c.EncryptFile(at("empty"), at("cipher"), u"k");
    EXPECT_EQ(read_file(at("cipher")).size(), 16U);
    c.DecryptFile(at("cipher"), at("back"));
    EXPECT_TRUE(read_file(at("back")).empty());

    write_file(at("dest"), {7, 7});
    EXPECT_EQ(error_number([&] { c.DecryptFile(at("empty"), at("dest")); }), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(read_file(at("dest")), (std::vector<std::uint8_t>{7, 7}));
}

TEST_F(Files, MissingSourceRaisesTheClassErrorForBothMethods) {
    write_file(at("dest"), {1});
    clsToString c;
    int events = 0;
    c.Progress.Subscribe([&](std::int32_t&) { ++events; });
    for (const bool encrypt : {true, false}) {
        try {
            encrypt ? c.EncryptFile(at("nothing"), at("dest"), u"k") : c.DecryptFile(at("nothing"), at("dest"), u"k");
            ADD_FAILURE() << "no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Number(), RuntimeError::ClassError);
            EXPECT_EQ(e.Kind(), ErrorKind::SourceMissing);
            EXPECT_EQ(e.Description(), "Error in Skipjack EncryptFile procedure (Source file does not exist).");
            EXPECT_NE(std::string(e.what()).find("nothing"), std::string::npos);
        }
    }
    EXPECT_EQ(events, 0);
    EXPECT_EQ(read_file(at("dest")), std::vector<std::uint8_t>{1});
}

TEST_F(Files, DecryptChecksBeforeCreatingAnything) {
    write_file(at("plain"), random_bytes(100));
    clsToString writer;
    writer.EncryptFile(at("plain"), at("cipher"), u"right");
    auto cipher = read_file(at("cipher"));
    write_file(at("dest"), {5});
    struct Case {
        const char* what;
        std::vector<std::uint8_t> content;
        std::u16string key;
        std::int32_t number;
    };
    const Case cases[] = {
        {"wrong key", cipher, u"wrong", RuntimeError::ClassError},
        {"cut by a block", std::vector<std::uint8_t>(cipher.begin(), cipher.end() - 8), u"right",
         RuntimeError::ClassError},
        {"not whole blocks", std::vector<std::uint8_t>(cipher.begin(), cipher.end() - 3), u"right",
         RuntimeError::SubscriptOutOfRange},
        {"one block", std::vector<std::uint8_t>(cipher.begin(), cipher.begin() + 8), u"right",
         RuntimeError::SubscriptOutOfRange},
    };
    for (const auto& k : cases) {
        write_file(at("damaged"), k.content);
        clsToString c;
        EXPECT_EQ(error_number([&] { c.DecryptFile(at("damaged"), at("dest"), k.key); }), k.number) << k.what;
        EXPECT_EQ(error_number([&] { c.DecryptFile(at("damaged"), at("fresh"), k.key); }), k.number) << k.what;
        try {
            c.DecryptFile(at("damaged"), at("fresh"), k.key);
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::WrongKeyOrDamaged) << k.what;
        }
        EXPECT_EQ(read_file(at("dest")), std::vector<std::uint8_t>{5}) << k.what;
        EXPECT_EQ(listing(), (std::vector<std::string>{"cipher", "damaged", "dest", "plain"})) << k.what;
    }
}

TEST_F(Files, DestinationErrorsLeaveNothingBehind) {
    write_file(at("plain"), random_bytes(64));
    fs::create_directory(at("folder"));
    clsToString c;
    try {
        c.EncryptFile(at("plain"), at("folder"), u"k");
        ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), 75);  // path/file access error
        EXPECT_EQ(e.Kind(), ErrorKind::FileSystem);
        EXPECT_NE(e.Description().find("folder"), std::string::npos) << e.Description();
        EXPECT_EQ(e.Code(), std::errc::is_a_directory);
    }
    EXPECT_EQ(error_number([&] { c.EncryptFile(at("plain"), dir_ / "no" / "such" / "dir", u"k"); }), 76);
    EXPECT_EQ(error_number([&] { c.EncryptFile(at("folder"), at("out"), u"k"); }), 75);  // a folder as source
    EXPECT_EQ(listing(), (std::vector<std::string>{"folder", "plain"}));
}

TEST_F(Files, UnwritableFolderIsPermissionDenied) {
    write_file(at("plain"), random_bytes(64));
    fs::permissions(at("plain"), fs::perms::all);
    fs::create_directory(at("locked"));
    write_file(at("locked/old"), {4, 2});
    fs::permissions(at("locked"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const int code = in_child([&] {
        // Root ignores folder permissions: become nobody first.
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) return 102;
        clsToString c;
        try {
            c.EncryptFile(at("plain"), at("locked/old"), u"k");
        } catch (const RuntimeError& e) {
            return e.Number();
        }
        return 0;
    });
    EXPECT_EQ(code, 70);
    EXPECT_EQ(read_file(at("locked/old")), (std::vector<std::uint8_t>{4, 2}));
    EXPECT_EQ(std::distance(fs::directory_iterator(at("locked")), fs::directory_iterator()), 1);
}

TEST_F(Files, FullDiskKeepsTheOldDestinationAndRemovesTheTemporaryFile) {
    write_file(at("plain"), random_bytes(std::size_t{3} << 20));
    write_file(at("dest"), {1, 2, 3});
    const int code = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
        const rlimit limit{1 << 20, 1 << 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 102;
        clsToString c;
        try {
            c.EncryptFile(at("plain"), at("dest"), u"k");
        } catch (const RuntimeError& e) {
            return e.Number();
        }
        return 0;
    });
    EXPECT_EQ(code, 61);  // disk full
    EXPECT_EQ(read_file(at("dest")), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(listing(), (std::vector<std::string>{"dest", "plain"}));
}

// The replacement renames a new file over the destination's name, so a
// destination with other hard links gets a new inode (the other names keep
// the old content). A link as the source is read through.
TEST_F(Files, HardLinkedDestinationGetsANewFileAndALinkedSourceIsReadThrough) {
    const auto message = random_bytes(300);
    write_file(at("plain"), message);
    write_file(at("first"), {2, 2});
    fs::create_hard_link(at("first"), at("second"));
    fs::create_symlink("plain", at("plain-link"));
    clsToString c;
    c.Key(u"k");
    c.EncryptFile(at("plain-link"), at("first"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at("first"))));
    auto bytes = read_file(at("first"));
    c.DecryptByte(bytes);
    EXPECT_EQ(bytes, message);
    EXPECT_EQ(read_file(at("second")), (std::vector<std::uint8_t>{2, 2}));
    EXPECT_EQ(fs::hard_link_count(at("second")), 1U);
    EXPECT_EQ(listing(), (std::vector<std::string>{"first", "plain", "plain-link", "second"}));
}

// A file-size limit hit while a file is replaced by its own encryption or
// decryption: the file is as it was, and nothing else is left.
TEST_F(Files, FileSizeLimitInPlaceKeepsTheFile) {
    const auto message = random_bytes((std::size_t{3} << 20) + 1);
    clsToString c;
    c.Key(u"k");
    auto cipher = message;
    c.EncryptByte(cipher);
    for (const bool decrypt : {false, true}) {
        const auto& before = decrypt ? cipher : message;
        write_file(at("f"), before);
        const int code = in_child([&] {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1 << 20, 1 << 20};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 102;
            try {
                decrypt ? c.DecryptFile(at("f"), at("f")) : c.EncryptFile(at("f"), at("f"));
            } catch (const RuntimeError& e) {
                return e.Number();
            }
            return 0;
        });
        EXPECT_EQ(code, 61) << decrypt;
        EXPECT_EQ(read_file(at("f")), before) << decrypt;
        EXPECT_EQ(listing(), std::vector<std::string>{"f"}) << decrypt;
    }
}

TEST_F(Files, KilledMidWriteLeavesTheOldDestinationWhole) {
    const auto old_content = random_bytes(777);
    write_file(at("plain"), random_bytes(std::size_t{4} << 20));
    write_file(at("dest"), old_content);
    for (const std::int32_t kill_at : {1, 50, 99}) {
        const int code = in_child([&] {
            clsToString c;
            c.Progress.Subscribe([&](std::int32_t& p) {
                if (p >= kill_at) raise(SIGKILL);
            });
            c.EncryptFile(at("plain"), at("dest"), u"k");
            return 0;
        });
        EXPECT_EQ(code, 128 + SIGKILL);
        EXPECT_EQ(read_file(at("dest")), old_content) << "killed at " << kill_at;
    }
    // Once a run completes the destination is the whole new ciphertext.
    clsToString c;
    c.EncryptFile(at("plain"), at("dest"), u"k");
    c.DecryptFile(at("dest"), at("back"));
    EXPECT_EQ(read_file(at("back")), read_file(at("plain")));
}

TEST_F(Files, SourceTooLargeForTheFormatFailsBeforeWriting) {
    { std::ofstream sparse(at("huge"), std::ios::binary); }
    fs::resize_file(at("huge"), std::uintmax_t{1} << 31);  // sparse: costs no disk
    clsToString c;
    EXPECT_EQ(error_number([&] { c.EncryptFile(at("huge"), at("out"), u"k"); }), RuntimeError::Overflow);
    fs::resize_file(at("huge"), (std::uintmax_t{1} << 31) + 8);
    EXPECT_EQ(error_number([&] { c.DecryptFile(at("huge"), at("out"), u"k"); }), RuntimeError::Overflow);
    EXPECT_EQ(listing(), std::vector<std::string>{"huge"});
}

TEST_F(Files, KeyArgumentAndTheKeyInForce) {
    write_file(at("plain"), {'k', 'e', 'y'});
    clsToString c, reader;
    c.EncryptFile(at("plain"), at("cipher"), u"set by a file call");
    reader.Key(u"set by a file call");
    auto bytes = read_file(at("cipher"));
    reader.DecryptByte(bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{'k', 'e', 'y'}));
    c.EncryptFile(at("plain"), at("cipher"));  // the key stays in force
    reader.DecryptFile(at("cipher"), at("back"));
    EXPECT_EQ(read_file(at("back")), (std::vector<std::uint8_t>{'k', 'e', 'y'}));
}

}  // namespace
}  // namespace clscrypt::test

namespace clscrypt::test {
namespace {

TEST_F(Files, RekeyMovesDataToANewKeyWithoutPlaintextOnDisk) {
    for (const std::size_t n : {std::size_t{0}, std::size_t{5}, (std::size_t{1} << 20) - 12, std::size_t{2500000}}) {
        const auto message = random_bytes(n);
        write_file(at("plain"), message);
        clsToString old_key, new_key, reader;
        old_key.Key(u"first");
        old_key.Key(u"second");  // a re-keyed writer: the history counts
        old_key.EncryptFile(at("plain"), at("data"));
        const auto before = read_file(at("data"));
        new_key.Key(u"fresh");
        std::vector<std::int32_t> events;
        new_key.Progress.Subscribe([&](std::int32_t& p) { events.push_back(p); });
        new_key.RekeyFile(old_key, at("data"), at("data"));
        const auto after = read_file(at("data"));
        ASSERT_EQ(after.size(), before.size());
        EXPECT_NE(after, before);
        EXPECT_EQ(events.back(), 100);
        reader.Key(u"fresh");
        auto bytes = after;
        reader.DecryptByte(bytes);
        EXPECT_EQ(bytes, message) << n;
        EXPECT_EQ(listing(), (std::vector<std::string>{"data", "plain"}));
    }
}

TEST_F(Files, RekeyWithTheWrongOldKeyTouchesNothing) {
    write_file(at("plain"), random_bytes(300));
    clsToString writer, wrong, target;
    writer.EncryptFile(at("plain"), at("data"), u"right");
    const auto before = read_file(at("data"));
    wrong.Key(u"wrong");
    target.Key(u"new");
    EXPECT_EQ(error_number([&] { target.RekeyFile(wrong, at("data"), at("data")); }), RuntimeError::ClassError);
    EXPECT_EQ(read_file(at("data")), before);
    EXPECT_EQ(listing(), (std::vector<std::string>{"data", "plain"}));
}

}  // namespace
}  // namespace clscrypt::test

namespace clscrypt::test {
namespace {

// The size is taken before the first block; a source that changes size while
// it is read would give a ciphertext whose descriptor lies.
TEST_F(Files, SourceChangingSizeWhileReadIsAnError) {
    const auto message = random_bytes(std::size_t{3} << 20);
    write_file(at("dest"), {1});
    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"grows", [&] { std::ofstream(at("source"), std::ios::binary | std::ios::app) << "more"; }},
        {"shrinks", [&] { fs::resize_file(at("source"), 1000); }},
    };
    for (const auto& c : cases) {
        write_file(at("source"), message);
        clsToString cipher;
        bool changed = false;
        cipher.Progress.Subscribe([&](std::int32_t& p) {
            if (p >= 10 && !changed) {
                c.change();
                changed = true;
            }
        });
        try {
            cipher.EncryptFile(at("source"), at("dest"), u"k");
            ADD_FAILURE() << c.what << ": no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Number(), 57) << c.what;  // device I/O error
            EXPECT_NE(e.Description().find("source"), std::string::npos) << e.Description();
        }
        EXPECT_EQ(read_file(at("dest")), std::vector<std::uint8_t>{1}) << c.what;
        EXPECT_EQ(listing(), (std::vector<std::string>{"dest", "source"})) << c.what;
    }
}

}  // namespace
}  // namespace clscrypt::test

namespace clscrypt::test {
namespace {

// Runs `write` on a thread while this one reads the FIFO `fifo` until the
// writer closes it, and returns what was read. A writer that returns without
// ever opening the FIFO (because it put a file in its place, say) leaves
// nothing to read, and the loop ends when it returns.
std::vector<std::uint8_t> read_fifo_while(const fs::path& fifo, const std::function<void()>& write) {
    // Opened without waiting for a writer; poll() waits for one instead.
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << fifo << ": " << std::strerror(errno);
        return {};
    }
    std::atomic<bool> returned{false};
    std::exception_ptr error;
    std::thread writer([&] {
        try {
            write();
        } catch (...) {
            error = std::current_exception();
        }
        returned = true;
    });
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
        // Read before polling: whatever the writer did is then there to see.
        const bool done = returned.load();
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, done ? 0 : 20);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (done) break;  // never opened by the writer
            continue;
        }
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n > 0) {
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        } else if (n == 0) {
            break;  // the writer has closed it
        } else if (errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "cannot read " << fifo << ": " << std::strerror(errno);
            break;
        }
    }
    writer.join();
    ::close(fd);
    if (error) std::rethrow_exception(error);
    return got;
}

// The device number of a device node, to tell that it is still the same one.
dev_t device_of(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : dev_t{};
}

// What the symbolic link `p` says; empty when `p` is no longer a link.
fs::path link_of(const fs::path& p) {
    std::error_code ec;
    fs::path to = fs::read_symlink(p, ec);
    return ec ? fs::path() : to;
}

// The three operations that write a destination, each with what turns its
// output back into the message.
struct Operation {
    const char* what;
    std::function<void(const fs::path& dest)> run;
    std::function<std::vector<std::uint8_t>(std::vector<std::uint8_t>)> message_of;
};

// Files holding `message` as plaintext ("plain") and encrypted under `key`
// ("cipher"), and the operations that read them.
std::vector<Operation> operations(const fs::path& dir, clsToString& key, clsToString& rekeyed) {
    return {
        {"encrypt", [&key, dir](const fs::path& dest) { key.EncryptFile(dir / "plain", dest); },
         [&key](std::vector<std::uint8_t> out) {
             key.DecryptByte(out);
             return out;
         }},
        {"decrypt", [&key, dir](const fs::path& dest) { key.DecryptFile(dir / "cipher", dest); },
         [](std::vector<std::uint8_t> out) { return out; }},
        {"rekey", [&key, &rekeyed, dir](const fs::path& dest) { rekeyed.RekeyFile(key, dir / "cipher", dest); },
         [&rekeyed](std::vector<std::uint8_t> out) {
             rekeyed.DecryptByte(out);
             return out;
         }},
    };
}

// A FIFO or a device at the destination (or at the end of a link there) is
// opened and written into: it is still there afterwards, and a FIFO's reader
// gets the output. Replacing it would swap the node for a regular file.
TEST_F(Files, FifosAndDevicesAreWrittenIntoNotReplaced) {
    const auto message = random_bytes(200000);  // more than a pipe holds
    write_file(at("plain"), message);
    clsToString key, rekeyed;
    key.Key(u"k");
    rekeyed.Key(u"other");
    key.EncryptFile(at("plain"), at("cipher"));
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", at("to-fifo"));
    fs::create_symlink("/dev/null", at("to-null"));
    const dev_t null_device = device_of("/dev/null");
    ASSERT_NE(null_device, dev_t{}) << "/dev/null is no character device";

    struct Node {
        const char* what;
        fs::path dest;
        fs::path node;  // what dest leads to
        fs::file_type type;
    };
    const Node nodes[] = {
        {"FIFO", at("fifo"), at("fifo"), fs::file_type::fifo},
        {"link to a FIFO", at("to-fifo"), at("fifo"), fs::file_type::fifo},
        {"/dev/null", "/dev/null", "/dev/null", fs::file_type::character},
        {"link to /dev/null", at("to-null"), "/dev/null", fs::file_type::character},
    };
    for (const auto& node : nodes) {
        for (const auto& op : operations(dir_, key, rekeyed)) {
            const std::string what = std::string(op.what) + " into " + node.what;
            if (node.type == fs::file_type::fifo) {
                const auto got = read_fifo_while(node.node, [&] { op.run(node.dest); });
                std::vector<std::uint8_t> back;
                try {
                    back = op.message_of(got);
                } catch (const RuntimeError& e) {
                    ADD_FAILURE() << what << ": the FIFO got " << got.size() << " bytes: " << e.what();
                }
                EXPECT_EQ(back, message) << what;
            } else {
                op.run(node.dest);
                EXPECT_EQ(device_of(node.node), null_device) << what;
            }
            EXPECT_EQ(fs::symlink_status(node.node).type(), node.type) << what;
            if (node.dest != node.node) {
                EXPECT_TRUE(fs::is_symlink(fs::symlink_status(node.dest))) << what;
            }
            EXPECT_EQ(listing(), (std::vector<std::string>{"cipher", "fifo", "plain", "to-fifo", "to-null"})) << what;
        }
    }
}

// Writes into a device fail as file writes do: a full device is "Disk full",
// and the device stays as it was.
TEST_F(Files, AFullDeviceRaisesDiskFull) {
    if (!fs::is_character_file(fs::symlink_status("/dev/full"))) GTEST_SKIP() << "no /dev/full here";
    const dev_t full_device = device_of("/dev/full");
    const auto message = random_bytes(5000);
    write_file(at("plain"), message);
    clsToString key, rekeyed;
    key.Key(u"k");
    rekeyed.Key(u"other");
    key.EncryptFile(at("plain"), at("cipher"));
    fs::create_symlink("/dev/full", at("to-full"));
    for (const fs::path& dest : {fs::path("/dev/full"), at("to-full")}) {
        for (const auto& op : operations(dir_, key, rekeyed)) {
            const std::string what = std::string(op.what) + " into " + dest.string();
            try {
                op.run(dest);
                ADD_FAILURE() << what << ": no error";
            } catch (const RuntimeError& e) {
                EXPECT_EQ(e.Number(), 61) << what;  // disk full
                EXPECT_EQ(e.Kind(), ErrorKind::FileSystem) << what;
                EXPECT_EQ(e.Code(), std::errc::no_space_on_device) << what;
                EXPECT_NE(e.Description().find("/dev/full"), std::string::npos) << e.Description();
            }
            EXPECT_EQ(device_of("/dev/full"), full_device) << what;
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(at("to-full")))) << what;
            EXPECT_EQ(listing(), (std::vector<std::string>{"cipher", "plain", "to-full"})) << what;
        }
    }
}

// A symbolic link at the destination is followed to the end of its chain:
// the file there is replaced (created, for a dangling link), its permissions
// kept, and every link stays a link to where it pointed.
TEST_F(Files, SymbolicLinksAtTheDestinationAreFollowedAndKept) {
    const auto message = random_bytes(3000);
    write_file(at("plain"), message);
    clsToString c;
    c.Key(u"k");
    const auto old_target = [](const fs::path& p) {
        write_file(p, {1, 1});
        fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    };
    struct Case {
        const char* what;
        std::function<void(const fs::path& w)> make;  // the links, and their target where it exists
        const char* target;                           // where the output belongs
        std::vector<std::string> names;               // the folder and its subfolder afterwards
        bool target_existed;
    };
    const Case cases[] = {
        {"link",
         [&](const fs::path& w) {
             old_target(w / "target");
             fs::create_symlink("target", w / "link");
         },
         "target",
         {"link", "target"},
         true},
        {"dangling link",
         [](const fs::path& w) { fs::create_symlink("made", w / "link"); },
         "made",
         {"link", "made"},
         false},
        {"chain of two links",
         [&](const fs::path& w) {
             old_target(w / "target");
             fs::create_symlink("target", w / "middle");
             fs::create_symlink("middle", w / "link");
         },
         "target",
         {"link", "middle", "target"},
         true},
        {"absolute link",
         [&](const fs::path& w) {
             old_target(w / "target");
             fs::create_symlink(w / "target", w / "link");
         },
         "target",
         {"link", "target"},
         true},
        {"link into a subfolder",
         [&](const fs::path& w) {
             fs::create_directory(w / "sub");
             old_target(w / "sub" / "target");
             fs::create_symlink("sub/target", w / "link");
         },
         "sub/target",
         {"link", "sub", "sub/target"},
         true},
        {"dangling chain relative to each link's folder",
         [](const fs::path& w) {
             fs::create_directory(w / "sub");
             fs::create_symlink("../made", w / "sub" / "up");
             fs::create_symlink("sub/up", w / "link");
         },
         "made",
         {"link", "made", "sub", "sub/up"},
         false},
    };
    int n = 0;
    for (const auto& k : cases) {
        const fs::path w = dir_ / ("case" + std::to_string(n++));
        fs::create_directory(w);
        k.make(w);
        // Every link in the case and what it says.
        std::vector<std::pair<fs::path, fs::path>> links;
        for (const auto& e : fs::recursive_directory_iterator(w)) {
            if (e.is_symlink()) links.emplace_back(e.path(), fs::read_symlink(e.path()));
        }

        c.EncryptFile(at("plain"), w / "link");
        for (const auto& [link, to] : links) {
            EXPECT_EQ(link_of(link), to) << k.what << ": " << link;
        }
        const fs::path target = w / k.target;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target))) << k.what;
        auto bytes = read_file(target);
        c.DecryptByte(bytes);
        EXPECT_EQ(bytes, message) << k.what;
        if (k.target_existed) {
            EXPECT_EQ(fs::status(target).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
                << k.what;
        }
        std::vector<std::string> names;  // no temporary file left in any folder
        for (const auto& e : fs::recursive_directory_iterator(w)) {
            names.push_back(e.path().lexically_relative(w).generic_string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, k.names) << k.what;
    }
}

// The source and the destination may be one file reached through links: the
// source is read to its end before the file at the end of the chain is
// replaced, and the links stay.
TEST_F(Files, SourceAndDestinationMayBeOneFileThroughLinks) {
    const auto message = random_bytes(100000);
    write_file(at("target"), message);
    fs::create_symlink("target", at("link"));
    fs::create_symlink("link", at("chain"));
    clsToString c, rekeyed;
    c.Key(u"k");
    rekeyed.Key(u"other");
    struct Step {
        const char* what;
        std::function<void()> run;
        clsToString* encrypted_by;  // nullptr: the target holds the message
    };
    const Step steps[] = {
        {"encrypt the link onto itself", [&] { c.EncryptFile(at("link"), at("link")); }, &c},
        {"decrypt the link onto itself", [&] { c.DecryptFile(at("link"), at("link")); }, nullptr},
        {"encrypt the target onto the link", [&] { c.EncryptFile(at("target"), at("link")); }, &c},
        {"rekey the chain onto itself", [&] { rekeyed.RekeyFile(c, at("chain"), at("chain")); }, &rekeyed},
        {"decrypt the link onto the chain", [&] { rekeyed.DecryptFile(at("link"), at("chain")); }, nullptr},
        {"encrypt the chain onto the target", [&] { c.EncryptFile(at("chain"), at("target")); }, &c},
        {"decrypt the chain onto the link", [&] { c.DecryptFile(at("chain"), at("link")); }, nullptr},
    };
    for (const auto& step : steps) {
        step.run();
        EXPECT_EQ(link_of(at("link")), fs::path("target")) << step.what;
        EXPECT_EQ(link_of(at("chain")), fs::path("link")) << step.what;
        auto bytes = read_file(at("target"));
        if (step.encrypted_by != nullptr) step.encrypted_by->DecryptByte(bytes);
        EXPECT_EQ(bytes, message) << step.what;
        EXPECT_EQ(listing(), (std::vector<std::string>{"chain", "link", "target"})) << step.what;
    }
}

// Links that lead nowhere a file can be written are errors that leave them
// as they were.
TEST_F(Files, LinksToNowhereWritableAreErrors) {
    write_file(at("plain"), random_bytes(64));
    fs::create_directory(at("folder"));
    struct Case {
        const char* what;
        const char* link;
        const char* to;
        std::int32_t number;
        std::errc code;
    };
    const Case cases[] = {
        {"loop", "loop", "loop", 75, std::errc::too_many_symbolic_link_levels},  // path/file access error
        {"link to a folder", "to-folder", "folder", 75, std::errc::is_a_directory},
        {"dangling into a missing folder", "to-missing", "no/such/file", 76, std::errc::no_such_file_or_directory},
        {"link to a socket", "to-socket", "socket", 57, std::errc::no_such_device_or_address},  // device I/O error
    };
    // A socket is no file to open, nor one to replace.
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = at("socket").string();
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    std::vector<std::string> names{"folder", "plain", "socket"};
    for (const auto& k : cases) {
        fs::create_symlink(k.to, at(k.link));
        names.emplace_back(k.link);
    }
    std::sort(names.begin(), names.end());
    clsToString c;
    c.Key(u"k");
    for (const auto& k : cases) {
        try {
            c.EncryptFile(at("plain"), at(k.link));
            ADD_FAILURE() << k.what << ": no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Number(), k.number) << k.what;
            EXPECT_EQ(e.Kind(), ErrorKind::FileSystem) << k.what;
            EXPECT_EQ(e.Code(), k.code) << k.what;
        }
        EXPECT_EQ(link_of(at(k.link)), fs::path(k.to)) << k.what;
        EXPECT_TRUE(fs::is_empty(at("folder"))) << k.what;
        EXPECT_TRUE(fs::is_socket(fs::symlink_status(at("socket")))) << k.what;
        EXPECT_EQ(listing(), names) << k.what;
    }
    ::close(sock);
}

// The longest names a file system takes are written too: the hidden name
// beside them is cut short instead of passing 255 bytes, between two
// characters, and keeps the form the walks of the tool skip.
TEST_F(Files, TheLongestNamesAreWrittenThroughAShortenedTemporaryName) {
    write_file(at("plain"), {1, 2, 3});
    const std::vector<std::string> names = {std::string(255, 'a'), std::string(242, 'b'),
                                            std::string(240, 'c') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"};
    for (const auto& name : names) {
        clsToString c;
        c.EncryptFile(at("plain"), dir_ / name, u"k");
        EXPECT_TRUE(fs::exists(dir_ / name)) << name.size();
        const fs::path temp = platform::temporary_name_beside(dir_, name);
        EXPECT_LE(temp.filename().native().size(), 255u);
        EXPECT_TRUE(platform::is_temporary_name(temp.filename())) << temp;
        const std::string stem = temp.filename().string();
        EXPECT_NE(static_cast<unsigned char>(stem[stem.size() - 14]) & 0xC0, 0x80u) << "a character cut in two";
    }
}

// The no-replace rename never replaces a name that exists, whichever of its
// ways the file system allows; with replace it does.
TEST_F(Files, NoReplaceRenameLeavesAnExistingNameAlone) {
    struct Case {
        bool target_exists;
        bool replace;
        platform::RenameResult result;
        std::vector<std::uint8_t> target_after;
    };
    const std::vector<Case> cases = {
        {false, false, platform::RenameResult::Done, {1}},
        {true, false, platform::RenameResult::Exists, {2}},
        {true, true, platform::RenameResult::Done, {1}},
    };
    for (const auto& c : cases) {
        write_file(at("from"), {1});
        fs::remove(at("to"));
        if (c.target_exists) write_file(at("to"), {2});
        std::error_code ec;
        EXPECT_EQ(platform::rename_file(at("from"), at("to"), c.replace, ec), c.result) << ec.message();
        EXPECT_EQ(read_file(at("to")), c.target_after);
        EXPECT_EQ(fs::exists(at("from")), c.result == platform::RenameResult::Exists);
    }
    std::error_code ec;
    EXPECT_EQ(platform::rename_file(at("missing"), at("to"), false, ec), platform::RenameResult::Failed);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace clscrypt::test
