// Whole files: the same bytes and progress as the in-memory operations,
// crash-safe replacement, and the errors file callers test for, including
// injected faults (an unwritable folder, a full disk, a killed process).

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "clscrypt/clscrypt.hpp"
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
// symbolic link there is itself replaced (its target keeps the old content),
// and a destination with other hard links gets a new inode (the other names
// keep the old content). A link as the source is read through.
TEST_F(Files, LinksAtTheDestinationAreReplacedNotFollowed) {
    const auto message = random_bytes(300);
    write_file(at("plain"), message);
    write_file(at("target"), {1, 1});
    fs::create_symlink("target", at("link"));
    fs::create_symlink("nowhere", at("dangling"));
    write_file(at("first"), {2, 2});
    fs::create_hard_link(at("first"), at("second"));
    fs::create_symlink("plain", at("plain-link"));
    clsToString c;
    c.Key(u"k");
    for (const char* dest : {"link", "dangling", "first"}) {
        c.EncryptFile(at("plain-link"), at(dest));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at(dest)))) << dest;
        auto bytes = read_file(at(dest));
        c.DecryptByte(bytes);
        EXPECT_EQ(bytes, message) << dest;
    }
    EXPECT_EQ(read_file(at("target")), (std::vector<std::uint8_t>{1, 1}));
    EXPECT_FALSE(fs::exists(at("nowhere")));
    EXPECT_EQ(read_file(at("second")), (std::vector<std::uint8_t>{2, 2}));
    EXPECT_EQ(fs::hard_link_count(at("second")), 1U);
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"dangling", "first", "link", "plain", "plain-link", "second", "target"}));
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
