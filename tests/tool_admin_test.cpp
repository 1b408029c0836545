// End-to-end tests of the tool as an administrator runs it over other
// people's files: owners, groups, modes and times kept by in-place rewrites,
// outputs that are links to standard output, runs that would silently do
// nothing or do a file twice, unreadable folders, hard links, and the signal
// cleanup of many workers. Some cases need root (to own files as another
// user, or to run the tool as one); they skip, saying so, otherwise.

#include <grp.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <set>

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

// An unprivileged account every Linux system has.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct Facts {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    std::int64_t modified = 0, accessed = 0;
    nlink_t links = 0;
};

Facts facts_of(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return {st.st_uid, st.st_gid, st.st_mode & 07777, st.st_mtim.tv_sec, st.st_atim.tv_sec, st.st_nlink};
}

void set_times(const fs::path& p, std::int64_t accessed, std::int64_t modified) {
    const timespec times[2] = {{static_cast<time_t>(accessed), 0}, {static_cast<time_t>(modified), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

class ToolAdmin : public Tool {
protected:
    // Runs the tool in `cwd` with standard output into the file `out` (so
    // that the tool's standard output is a regular file), as the user `uid`
    // when given. Returns the exit status; standard error goes to err_.
    int run_to_file(const std::vector<std::string>& args, const fs::path& out, std::optional<uid_t> uid = {},
                    const fs::path& cwd = {}) {
        std::vector<std::string> full = {CLSCRYPT_TOOL_PATH};
        full.insert(full.end(), args.begin(), args.end());
        auto argv = argv_of(full);
        const fs::path err_file = dir_.parent_path() / (dir_.filename().string() + ".err");
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                      e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), i = open("/dev/null", O_RDONLY);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            if (chdir((cwd.empty() ? dir_ : cwd).c_str()) != 0) _exit(126);
            if (uid) {
                if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(*uid) != 0) _exit(125);
            }
            setenv("K", "k", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        err_ = slurp(err_file);
        fs::remove(err_file);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int run_as_nobody(const std::vector<std::string>& args, const fs::path& cwd) {
        return run_to_file(args, "/dev/null", kNobody, cwd);
    }
    // A folder the user nobody owns, in a scratch folder it may enter.
    fs::path nobodys_folder() {
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const fs::path home = at("home");
        fs::create_directory(home);
        EXPECT_EQ(chown(home.c_str(), kNobody, kNogroup), 0);
        return home;
    }
    std::string decrypt(const fs::path& file) {
        const Result r = run({{"decrypt", "-q", "--pass", "pass:k", "-o", "-", file.string()}});
        return r.status == 0 ? r.out : "<exit " + std::to_string(r.status) + ": " + r.err + ">";
    }
    std::size_t temporaries(const fs::path& folder) const {
        std::size_t n = 0;
        for (const auto& name : listing(folder)) n += name.size() > 4 && name.front() == '.' && name.ends_with(".tmp");
        return n;
    }
    std::string err_;
};

#define REQUIRE_ROOT()                                                                           \
    if (geteuid() != 0) GTEST_SKIP() << "needs root: files are given to another user (nobody)"; \
    static_assert(true)

TEST_F(ToolAdmin, InPlaceRewritesKeepOwnerGroupModeAndTimes) {
    REQUIRE_ROOT();
    const std::vector<std::vector<std::string>> steps = {
        {"encrypt", "-q", "--pass", "pass:k", "--in-place", "f"},
        {"rekey", "-q", "--pass", "pass:k", "--new-pass", "pass:n", "f"},
        {"rekey", "-q", "--pass", "pass:n", "--new-pass", "pass:k", "f"},
        {"decrypt", "-q", "--pass", "pass:k", "--in-place", "f"},
    };
    for (const mode_t mode : {0640, 0604, 0400, 02750}) {
        spit(at("f"), "a user's letter");
        ASSERT_EQ(chown(at("f").c_str(), kNobody, kNogroup), 0);
        ASSERT_EQ(chmod(at("f").c_str(), mode), 0);
        set_times(at("f"), 1000000000, 999999999);
        for (const auto& step : steps) {
            const Result r = run({step});
            ASSERT_EQ(r.status, 0) << step[0] << ": " << r.err;
            const Facts now = facts_of(at("f"));
            EXPECT_EQ(now.owner, kNobody) << step[0] << " " << std::oct << mode;
            EXPECT_EQ(now.group, kNogroup) << step[0] << " " << std::oct << mode;
            EXPECT_EQ(now.mode, mode) << step[0] << " " << std::oct << mode;
            EXPECT_EQ(now.modified, 999999999) << step[0] << " " << std::oct << mode;
            EXPECT_EQ(now.accessed, 1000000000) << step[0] << " " << std::oct << mode;
        }
        EXPECT_EQ(slurp(at("f")), "a user's letter");
    }
}

TEST_F(ToolAdmin, InPlaceFailsBeforeReplacingWhereOwnershipCannotBeKept) {
    REQUIRE_ROOT();
    const fs::path home = nobodys_folder();
    // Files nobody may read and write, in a folder of its own, owned by
    // someone it cannot give a file to.
    struct Case {
        uid_t owner;
        gid_t group;
    };
    for (const Case c : {Case{0, 0}, Case{kNobody, 0}, Case{0, kNogroup}}) {
        spit(home / "f", "someone else's file");
        ASSERT_EQ(chown((home / "f").c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod((home / "f").c_str(), 0666), 0);
        const int status = run_as_nobody({"encrypt", "--pass", "env:K", "--in-place", "f"}, home);
        ASSERT_NE(status, 125) << "cannot become nobody";
        EXPECT_EQ(status, 1) << c.owner << ":" << c.group << " " << err_;
        EXPECT_NE(err_.find("f: cannot keep the owner"), std::string::npos) << err_;
        EXPECT_EQ(slurp(home / "f"), "someone else's file");
        EXPECT_EQ(facts_of(home / "f").owner, c.owner);
        EXPECT_EQ(facts_of(home / "f").group, c.group);
        EXPECT_EQ(temporaries(home), 0U);
    }
    // Its own file it may rewrite.
    ASSERT_EQ(chown((home / "f").c_str(), kNobody, kNogroup), 0);
    EXPECT_EQ(run_as_nobody({"encrypt", "-q", "--pass", "env:K", "--in-place", "f"}, home), 0) << err_;
    EXPECT_EQ(decrypt(home / "f"), "someone else's file");
}

TEST_F(ToolAdmin, OutputThroughALinkIsWrittenWhereTheLinkLeads) {
    spit(at("p"), "plaintext");
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:k", "p"}}).status, 0);
    fs::create_symlink("/proc/self/fd/1", at("so"));
    fs::create_directory(at("real"));
    spit(at("real/old"), "old content");
    fs::create_symlink("real/old", at("to-file"));
    fs::create_symlink("real/new", at("dangling"));
    struct Case {
        std::vector<std::string> options;
        std::string written_to;  // "stdout", or the file that takes the result
        std::string link;        // the link that must stay a link
    };
    const std::vector<Case> cases = {
        {{"-f", "-o", "so"}, "stdout", "so"},
        {{"-o", "so"}, "stdout", "so"},
        {{"-f", "-o", "to-file"}, "real/old", "to-file"},
        {{"-f", "-o", "dangling"}, "real/new", "dangling"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"decrypt", "-q", "--pass", "pass:k", "p.cls"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const fs::path out = dir_.parent_path() / (dir_.filename().string() + ".out");
        const int status = run_to_file(args, out);
        EXPECT_EQ(status, 0) << c.options.back() << ": " << err_;
        EXPECT_TRUE(fs::is_symlink(at(c.link))) << c.options.back();
        EXPECT_EQ(slurp(c.written_to == "stdout" ? out : at(c.written_to)), "plaintext") << c.options.back();
        EXPECT_EQ(temporaries(dir_), 0U) << c.options.back();
        EXPECT_EQ(temporaries(at("real")), 0U) << c.options.back();
        fs::remove(out);
    }
    // Without -f an existing name is kept, a link included.
    spit(at("real/old"), "old content");
    fs::remove(at("real/new"));
    for (const char* name : {"to-file", "dangling"}) {
        const Result r = run({{"decrypt", "-q", "--pass", "pass:k", "p.cls", "-o", name}});
        EXPECT_EQ(r.status, 1) << name << ": " << r.err;
        EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    }
    EXPECT_EQ(slurp(at("real/old")), "old content");
    EXPECT_FALSE(fs::exists(at("real/new")));
}

TEST_F(ToolAdmin, RunsThatWouldDoNothingOrDoAFileTwiceSaySo) {
    fs::create_directories(at("d/sub"));
    spit(at("d/a"), "alpha");
    spit(at("d/sub/b"), "beta");
    fs::create_directory(at("empty"));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // in standard error; empty for none
    };
    const std::vector<Case> cases = {
        // Each file once, though named twice.
        {{"encrypt", "-q", "--pass", "pass:k", "--in-place", "-r", "d", "d/sub", "d/a", "./d/a"}, 0, ""},
        // In-place files keep their names: nothing ends in .cls.
        {{"rekey", "--pass", "pass:k", "--new-pass", "pass:n", "-r", "d"}, 1, "d: no file"},
        {{"decrypt", "--pass", "pass:k", "--in-place", "-r", "d"}, 1, "d: no file"},
        {{"encrypt", "--pass", "pass:k", "-r", "empty"}, 1, "empty: no file"},
        // Encrypting again what the key already reads.
        {{"encrypt", "--pass", "pass:k", "--in-place", "d/a"}, 1, "d/a: already encrypted"},
        {{"encrypt", "--pass", "pass:k", "--in-place", "-r", "d"}, 1, "d/sub/b: already encrypted"},
    };
    for (const auto& c : cases) {
        const Result r = run({c.args});
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
        if (!c.message.empty()) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(decrypt(at("d/a")), "alpha");
    EXPECT_EQ(decrypt(at("d/sub/b")), "beta");
    // -f encrypts twice, as asked.
    ASSERT_EQ(run({{"encrypt", "-q", "-f", "--pass", "pass:k", "--in-place", "d/a"}}).status, 0);
    ASSERT_EQ(run({{"decrypt", "-q", "--pass", "pass:k", "--in-place", "d/a"}}).status, 0);
    EXPECT_EQ(decrypt(at("d/a")), "alpha");
}

TEST_F(ToolAdmin, UnreadableFoldersAreNamedAndTheWalkGoesOn) {
    REQUIRE_ROOT();  // root reads any folder: the walk runs as nobody
    const fs::path home = nobodys_folder();
    std::set<std::string> expected;
    for (const char* sub : {"t/d1", "t/d2", "t/d3"}) {
        fs::create_directories(home / sub);
        for (const char* name : {"x", "y"}) {
            spit(home / sub / name, "data");
            expected.insert(std::string(sub) + "/" + name + ".cls");
        }
    }
    for (const auto& e : fs::recursive_directory_iterator(home)) ASSERT_EQ(chown(e.path().c_str(), kNobody, kNogroup), 0);
    fs::permissions(home / "t/d2", fs::perms::none);
    const int status = run_as_nobody({"encrypt", "-q", "--pass", "env:K", "-r", "t"}, home);
    fs::permissions(home / "t/d2", fs::perms::owner_all);
    EXPECT_EQ(status, 1) << err_;
    EXPECT_NE(err_.find("t/d2: cannot read the folder"), std::string::npos) << err_;
    for (const auto& name : expected) {
        EXPECT_EQ(fs::exists(home / name), name.find("d2") == std::string::npos) << name;
    }
}

TEST_F(ToolAdmin, InPlaceRefusesFilesWithOtherNamesUnlessForced) {
    spit(at("c"), "linked");
    fs::create_hard_link(at("c"), at("d"));
    const Result refused = run({{"encrypt", "--pass", "pass:k", "--in-place", "c"}});
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find("c: has 1 other name"), std::string::npos) << refused.err;
    EXPECT_EQ(slurp(at("c")), "linked");
    EXPECT_EQ(temporaries(dir_), 0U);
    // Forced, the two names of one file are one file, done once.
    const Result forced = run({{"encrypt", "-f", "--pass", "pass:k", "--in-place", "c", "d"}});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(decrypt(at("c")), "linked");
    EXPECT_EQ(slurp(at("d")), "linked");  // the other name keeps the old file, as it was told
}

TEST_F(ToolAdmin, SignalsLeaveNoTemporaryFileAtAnyJobCount) {
    constexpr int kFiles = 300;
    fs::create_directory(at("many"));
    const std::string data = random_text(256 << 10);
    for (int i = 0; i < kFiles; ++i) spit(at("many/f" + std::to_string(i)), data);
    for (const char* jobs : {"400", "32"}) {
        std::vector<std::string> full = {CLSCRYPT_TOOL_PATH, "encrypt", "-q", "-j", jobs, "--pass", "pass:k", "-r",
                                         "many"};
        auto argv = argv_of(full);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            signal(SIGTERM, SIG_DFL);
            if (chdir(dir_.c_str()) != 0) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        bool seen = false;
        for (int i = 0; i < 5000 && !seen; ++i) {
            seen = temporaries(at("many")) > 0;
            if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(seen) << jobs;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << jobs << ": " << status;
        EXPECT_EQ(temporaries(at("many")), 0U) << "-j " << jobs;
        for (int i = 0; i < kFiles; ++i) fs::remove(at("many/f" + std::to_string(i) + ".cls"));
    }
    // -j past what the machine can use is lowered, and said so.
    const Result r = run({{"encrypt", "-j", "100000", "--pass", "pass:k", "-r", "many"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("-j 100000"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace clscrypt::test
