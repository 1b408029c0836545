// End-to-end tests of the tool's outputs under hostile conditions: runs
// racing for one name, devices and FIFOs as outputs, signals in the middle
// of a run, symbolic links, large standard input, full disks.

#include <sys/resource.h>
#include <sys/stat.h>

#include <map>

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

class ToolFiles : public Tool {
protected:
    void SetUp() override {
        Tool::SetUp();
        char templ[] = "/tmp/clscrypt-logs-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        logs_ = templ;
    }
    void TearDown() override {
        fs::remove_all(logs_);
        Tool::TearDown();
    }

    // Starts the tool in the scratch folder with standard input from `in`
    // (a path, or /dev/null) and its outputs in log files named by `tag`.
    pid_t start(const std::vector<std::string>& args, const std::string& tag, const fs::path& in = "/dev/null",
                mode_t mask = 022, int in_fd = -1) {
        std::vector<std::string> full = {CLSCRYPT_TOOL_PATH};
        full.insert(full.end(), args.begin(), args.end());
        auto argv = argv_of(full);
        const std::string out = (logs_ / (tag + ".out")).string(), err = (logs_ / (tag + ".err")).string();
        const pid_t pid = fork();
        if (pid == 0) {
            setsid();
            umask(mask);
            for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
            const int i = in_fd >= 0 ? in_fd : open(in.c_str(), O_RDONLY),
                      o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            if (chdir(dir_.c_str()) != 0) _exit(126);
            setenv("K", "old key", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    // The exit status, 128 + N for a signal N; `usage` gets the child's.
    static int finish(pid_t pid, rusage* usage = nullptr) {
        int status = 0;
        rusage ignored{};
        wait4(pid, &status, 0, usage ? usage : &ignored);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string log(const std::string& tag, const char* stream = ".err") const { return slurp(logs_ / (tag + stream)); }
    // Stops a run once its hidden temporary file shows, so that the test
    // acts while the run is mid-way, whatever the machine's speed.
    bool pause_when_writing(pid_t pid) const {
        const bool appeared = temporary_appears();
        kill(pid, SIGSTOP);
        return appeared;
    }
    // Waits until a hidden temporary file shows in the scratch folder.
    bool temporary_appears() const {
        for (int i = 0; i < 2000; ++i) {
            if (temporaries() > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    std::size_t temporaries() const {
        std::size_t n = 0;
        for (const auto& name : listing()) n += name.size() > 4 && name.front() == '.' && name.ends_with(".tmp");
        return n;
    }
    std::string decrypt(const std::string& name, const std::string& key) {
        const Result r = run({{"decrypt", "-q", "--pass", "pass:" + key, "-o", "-", name}});
        return r.status == 0 ? r.out : "<exit " + std::to_string(r.status) + ": " + r.err + ">";
    }
    fs::path logs_;
};

TEST_F(ToolFiles, WithoutForceExactlyOneOfConcurrentRunsWritesTheName) {
    const std::string data = random_text(3 << 20);
    spit(at("big"), data);
    std::vector<pid_t> runs;
    for (int i = 0; i < 5; ++i)
        runs.push_back(start({"encrypt", "--pass", "env:K", "big", "-o", "out"}, std::to_string(i)));
    int winners = 0;
    for (int i = 0; i < 5; ++i) {
        const int status = finish(runs[static_cast<std::size_t>(i)]);
        if (status == 0) {
            ++winners;
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(log(std::to_string(i)).find("out: already exists"), std::string::npos) << log(std::to_string(i));
        }
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(temporaries(), 0U);
    EXPECT_TRUE(decrypt("out", "old key") == data);

    // A file that appears at the name while the work goes on is kept.
    const pid_t run = start({"encrypt", "--pass", "env:K", "big", "-o", "late"}, "late");
    ASSERT_TRUE(pause_when_writing(run));
    spit(at("late"), "precious");
    kill(run, SIGCONT);
    EXPECT_EQ(finish(run), 1);
    EXPECT_NE(log("late").find("already exists"), std::string::npos) << log("late");
    EXPECT_EQ(slurp(at("late")), "precious");
    EXPECT_EQ(temporaries(), 0U);
}

TEST_F(ToolFiles, ConcurrentRekeysNeverBothReportSuccess) {
    const std::string data = random_text(2 << 20);
    spit(at("f"), data);
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:old key", "f"}}).status, 0);
    // A second run while the first is mid-way.
    const pid_t a = start({"rekey", "-q", "--pass", "env:K", "--new-pass", "pass:A", "f.cls"}, "a");
    ASSERT_TRUE(pause_when_writing(a));
    const int sb = finish(start({"rekey", "-q", "--pass", "env:K", "--new-pass", "pass:B", "f.cls"}, "b"));
    kill(a, SIGCONT);
    const int sa = finish(a);
    EXPECT_TRUE(sa != 0 || sb != 0) << "both reported success";
    // Whoever reported success, its key opens the file.
    if (sa == 0) {
        EXPECT_TRUE(decrypt("f.cls", "A") == data) << "A reported success, but its key does not open the file";
    }
    if (sb == 0) {
        EXPECT_TRUE(decrypt("f.cls", "B") == data) << "B reported success, but its key does not open the file";
    }
    EXPECT_NE(log("b").find("another run"), std::string::npos) << log("b");
    EXPECT_EQ(temporaries(), 0U);
}

TEST_F(ToolFiles, DevicesAndFifosAreWrittenIntoNeverReplaced) {
    spit(at("plain"), "to a stream");
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", at("to-fifo"));
    const std::vector<std::vector<std::string>> outputs = {
        {"-o", "-"}, {"-f", "-o", "/dev/stdout"}, {"-o", "fifo"}, {"-f", "-o", "fifo"}, {"-f", "-o", "to-fifo"}};
    for (const auto& o : outputs) {
        std::vector<std::string> args = {"encrypt", "-q", "--pass", "env:K", "plain"};
        args.insert(args.end(), o.begin(), o.end());
        const bool fifo = o.back() == "fifo" || o.back() == "to-fifo";
        std::string from_fifo;
        std::thread reader;
        if (fifo) reader = std::thread([&] { from_fifo = slurp(at("fifo")); });
        const Result r = run({args, "", {{"K", "k"}}});
        if (fifo) {
            // Should the run not have opened the FIFO, the reader still ends.
            const int release = open(at("fifo").c_str(), O_WRONLY | O_NONBLOCK);
            if (release >= 0) close(release);
            reader.join();
        }
        EXPECT_EQ(r.status, 0) << o.back() << ": " << r.err;
        const std::string& ciphertext = fifo ? from_fifo : r.out;
        EXPECT_EQ(ciphertext.size(), 24U) << o.back();
        EXPECT_EQ(run({{"decrypt", "--pass", "pass:k"}, ciphertext}).out, "to a stream") << o.back();
        EXPECT_EQ(fs::status(at("fifo")).type(), fs::file_type::fifo) << o.back();
        EXPECT_TRUE(fs::is_symlink(at("to-fifo")));
        EXPECT_EQ(temporaries(), 0U);
    }
    fs::create_directory(at("folder"));
    const Result empty = run({{"encrypt", "--pass", "pass:k", "plain", "-o", ""}});
    EXPECT_EQ(empty.status, 2) << empty.err;
    const Result folder = run({{"encrypt", "-f", "--pass", "pass:k", "plain", "-o", "folder"}});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("folder: is a folder"), std::string::npos) << folder.err;
    EXPECT_FALSE(fs::exists(at("-")));
}

TEST_F(ToolFiles, SignalsRemoveTheTemporaryFileAndKeepTheirExitStatus) {
    spit(at("big"), random_text(8 << 20));
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM, SIGXFSZ}) {
        const pid_t run = start({"encrypt", "--pass", "env:K", "big", "-o", "out"}, "sig");
        ASSERT_TRUE(pause_when_writing(run));
        kill(run, sig);  // handled once the run goes on
        kill(run, SIGCONT);
        EXPECT_EQ(finish(run), 128 + sig) << strsignal(sig);
        EXPECT_EQ(temporaries(), 0U) << strsignal(sig);
        EXPECT_FALSE(fs::exists(at("out"))) << strsignal(sig);
    }
    // A temporary file left by a run killed outright is no input of -r.
    fs::create_directory(at("tree"));
    spit(at("tree/.doc.ab12cd34.tmp"), "left by SIGKILL");
    spit(at("tree/doc"), "document");
    ASSERT_EQ(run({{"encrypt", "-q", "-r", "--pass", "pass:k", "tree"}}).status, 0);
    EXPECT_EQ(listing(at("tree")), (std::vector<std::string>{".doc.ab12cd34.tmp", "doc", "doc.cls"}));
}

TEST_F(ToolFiles, CtrlCClearsTheProgressLineWhichFitsTheTerminal) {
    spit(at("big"), random_text(8 << 20));
    std::vector<std::string> full = {CLSCRYPT_TOOL_PATH, "encrypt", "--pass", "env:K", "big", "-o", "out"};
    auto argv = argv_of(full);
    winsize size{};
    size.ws_col = 40;
    size.ws_row = 24;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(126);
        signal(SIGINT, SIG_DFL);
        setenv("K", "k", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    bool interrupted = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        const ssize_t got = read(master, buf, sizeof buf);
        if (got <= 0) break;
        screen.append(buf, static_cast<std::size_t>(got));
        if (!interrupted && screen.find("%") != std::string::npos) {
            kill(pid, SIGSTOP);  // mid-way, whatever the machine's speed
            ASSERT_EQ(write(master, "\x03", 1), 1);
            kill(pid, SIGCONT);
            interrupted = true;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(interrupted) << screen;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << screen;
    // The line is cleared after the terminal's "^C", and nothing follows.
    const std::size_t caret = screen.rfind("^C");
    ASSERT_NE(caret, std::string::npos) << screen;
    EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K") << screen.substr(caret);
    EXPECT_EQ(temporaries(), 0U);
    // Every redraw fits 40 columns (a wrapped line cannot be redrawn).
    std::size_t from = 0;
    while (from < screen.size()) {
        std::size_t to = screen.find_first_of("\r\n", from);
        if (to == std::string::npos) to = screen.size();
        std::string segment = screen.substr(from, to - from);
        if (segment.starts_with("\033[K")) segment.erase(0, 3);
        if (segment.ends_with("^C")) segment.resize(segment.size() - 2);  // the terminal's echo
        EXPECT_LT(segment.size(), 40U) << segment;
        from = to + 1;
    }
}

TEST_F(ToolFiles, InPlaceAndRekeyFollowASymbolicLink) {
    spit(at("target"), "secret plaintext");
    fs::create_symlink("target", at("link"));
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:k", "--in-place", "link"}}).status, 0);
    EXPECT_TRUE(fs::is_symlink(at("link")));
    EXPECT_EQ(slurp(at("target")).find("secret"), std::string::npos);
    EXPECT_EQ(decrypt("target", "k"), "secret plaintext");
    ASSERT_EQ(run({{"rekey", "-q", "--pass", "pass:k", "--new-pass", "pass:n", "link"}}).status, 0);
    EXPECT_TRUE(fs::is_symlink(at("link")));
    EXPECT_EQ(decrypt("target", "n"), "secret plaintext");
}

TEST_F(ToolFiles, StandardInputIsHeldOnceAndRefusedPastTheFormatsLimit) {
    constexpr std::size_t kSize = 16 << 20;
    spit(at("input"), random_text(kSize));
    // Through a pipe, so the length is unknown until the end.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t feeder = fork();
    if (feeder == 0) {
        close(pipe_fds[0]);
        const int in = open(at("input").c_str(), O_RDONLY);
        char buf[1 << 16];
        for (ssize_t got; (got = read(in, buf, sizeof buf)) > 0;) {
            if (write(pipe_fds[1], buf, static_cast<std::size_t>(got)) != got) _exit(1);
        }
        _exit(0);
    }
    close(pipe_fds[1]);
    const pid_t filter = start({"encrypt", "--pass", "env:K"}, "pipe", {}, 022, pipe_fds[0]);
    close(pipe_fds[0]);
    rusage usage{};
    EXPECT_EQ(finish(filter, &usage), 0) << log("pipe");
    finish(feeder);
    EXPECT_EQ(fs::file_size(logs_ / "pipe.out"), kSize + 16);
    // One copy of the input, and little more (ru_maxrss is in KiB).
#ifndef CLSCRYPT_TESTS_SANITIZED
    EXPECT_LT(static_cast<std::size_t>(usage.ru_maxrss) * 1024, kSize + (12 << 20));
#endif

    // The same buffer serves hexadecimal ciphertext, both ways.
    const Result hex = run({{"encrypt", "-q", "--pass", "pass:k", "--hex"}, "plain text"});
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_EQ(run({{"decrypt", "-q", "--pass", "pass:k", "--hex"}, hex.out}).out, "plain text");

    // A file past the limit on standard input is refused before it is read.
    { std::ofstream sparse(at("huge")); }
    fs::resize_file(at("huge"), std::uintmax_t{3} << 30);
    const pid_t huge = start({"encrypt", "--pass", "env:K"}, "huge", at("huge"));
    EXPECT_EQ(finish(huge, &usage), 1);
    EXPECT_NE(log("huge").find("too large"), std::string::npos) << log("huge");
#ifndef CLSCRYPT_TESTS_SANITIZED
    EXPECT_LT(usage.ru_maxrss, 64 << 10);
#endif
}

TEST_F(ToolFiles, WriteErrorsAreReported) {
    spit(at("plain"), "data");
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:old key", "plain"}}).status, 0);
    const std::vector<std::vector<std::string>> cases = {
        {"encrypt", "--pass", "env:K"},
        {"encrypt", "--pass", "env:K", "--hex", "--text", "x"},
        {"decrypt", "--pass", "pass:old key", "plain.cls", "-o", "-"},
        {"encrypt", "-f", "--pass", "env:K", "plain", "-o", "/dev/full"},
    };
    spit(at("in"), "some input");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> args = cases[i];
        const std::string tag = "full" + std::to_string(i);
        // Standard output is /dev/full.
        std::vector<std::string> full = {CLSCRYPT_TOOL_PATH};
        full.insert(full.end(), args.begin(), args.end());
        auto argv = argv_of(full);
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open(at("in").c_str(), O_RDONLY), out = open("/dev/full", O_WRONLY),
                      err = open((logs_ / tag).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (chdir(dir_.c_str()) != 0) _exit(126);
            setenv("K", "old key", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_EQ(finish(pid), 1) << args[0] << " " << args.back();
        EXPECT_NE(slurp(logs_ / tag).find("write error"), std::string::npos) << slurp(logs_ / tag);
    }
}

TEST_F(ToolFiles, OutputsTakeTheSourcesPermissionsWithinTheUmask) {
    struct Case {
        fs::perms source;
        mode_t mask;
        fs::perms expected;
    };
    using fs::perms;
    const std::vector<Case> cases = {
        {perms::owner_read | perms::owner_write, 022, perms::owner_read | perms::owner_write},
        {perms::owner_read | perms::owner_write | perms::group_read | perms::others_read, 077,
         perms::owner_read | perms::owner_write},
        {perms::owner_read | perms::owner_write | perms::group_read, 022,
         perms::owner_read | perms::owner_write | perms::group_read},
    };
    for (const auto& c : cases) {
        for (const auto* name : {"p", "p.cls", "back"}) fs::remove(at(name));
        spit(at("p"), "private");
        fs::permissions(at("p"), c.source);
        ASSERT_EQ(finish(start({"encrypt", "-q", "--pass", "env:K", "p"}, "e", "/dev/null", c.mask)), 0) << log("e");
        ASSERT_EQ(finish(start({"decrypt", "-q", "--pass", "env:K", "p.cls", "-o", "back"}, "d", "/dev/null", c.mask)),
                  0)
            << log("d");
        EXPECT_EQ(fs::status(at("p.cls")).permissions(), c.expected);
        EXPECT_EQ(fs::status(at("back")).permissions(), c.expected);
    }
}

TEST_F(ToolFiles, MessagesComeInTheOrderOfTheArguments) {
    spit(at("a"), "1");
    spit(at("b"), "2");
    fs::create_directory(at("folder"));
    const Result r = run({{"encrypt", "-v", "-j", "1", "--pass", "pass:k", "a", "folder", "b"}});
    EXPECT_EQ(r.status, 1);
    const std::size_t a = r.err.find("a -> a.cls"), folder = r.err.find("folder: is a folder"),
                      b = r.err.find("b -> b.cls");
    ASSERT_NE(a, std::string::npos) << r.err;
    ASSERT_NE(folder, std::string::npos) << r.err;
    ASSERT_NE(b, std::string::npos) << r.err;
    EXPECT_LT(a, folder);
    EXPECT_LT(folder, b);
}

}  // namespace
}  // namespace clscrypt::test

namespace clscrypt::test {
namespace {

// Standard input with -o: the same never-half-written output as a file's.
TEST_F(ToolFiles, StandardInputGoesToAnOutputFileWholeOrNotAtAll) {
    spit(at("taken"), "keep me");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string file;     // the output's name
        std::string content;  // what it holds afterwards ("" when it must not exist)
        std::string message;  // part of standard error
    };
    const Result made = run({{"encrypt", "-q", "--pass", "pass:k", "-o", "secret.cls"}, "piped text"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string cipher = slurp(at("secret.cls"));
    EXPECT_EQ(cipher.size(), 24u);
    const std::vector<Case> cases = {
        {{"decrypt", "--pass", "pass:k", "-o", "plain"}, cipher, 0, "plain", "piped text", ""},
        {{"decrypt", "--pass", "pass:k", "-o", "taken"}, cipher, 1, "taken", "keep me", "taken: already exists"},
        {{"decrypt", "--pass", "pass:k", "-f", "-o", "taken"}, cipher, 0, "taken", "piped text", ""},
        {{"decrypt", "--pass", "pass:wrong", "-o", "never"}, cipher, 4, "never", "", "wrong key"},
        {{"decrypt", "--pass", "pass:k", "-o", "never"}, cipher.substr(0, 16), 4, "never", "", "nothing was written"},
        {{"encrypt", "--pass", "pass:k", "--hex", "-o", "hex.txt"}, "x", 0, "hex.txt", "", ""},
        {{"decrypt", "--pass", "pass:k", "--text", "00", "-o", "never"}, "", 4, "never", "", "--text"},
    };
    for (const auto& c : cases) {
        const Result r = run({c.args, c.input});
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        if (c.file == "hex.txt") {
            EXPECT_EQ(slurp(at(c.file)).size(), 2 * 16 + 1u);
        } else if (c.content.empty()) {
            EXPECT_FALSE(fs::exists(at(c.file))) << c.file;
        } else {
            EXPECT_EQ(slurp(at(c.file)), c.content) << ::testing::PrintToString(c.args);
        }
        EXPECT_EQ(temporaries(), 0u);
    }
    // A link to standard output is standard output.
    const Result through = run({{"decrypt", "--pass", "pass:k", "-o", "/dev/stdout"}, cipher});
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_EQ(through.out, "piped text");
    // --in-place and -r still need files.
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "--in-place"}, "x"}).status, 2);
}

// Past the threshold (lowered here, 64 MiB by default) standard input goes
// to an unnamed file in TMPDIR: memory stays small, nothing is left there,
// and the result is the same as from memory.
TEST_F(ToolFiles, LongStandardInputIsSpooledToAnUnnamedFileInTmpdir) {
    constexpr std::size_t kSize = 12 << 20;
    // Held in a file, not in this process: the tool starts as its copy.
    spit(at("input"), random_text(kSize));
    const fs::path tmp = logs_ / "tmp";
    fs::create_directory(tmp);
    setenv("CLSCRYPT_SPOOL_THRESHOLD", "1048576", 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    // Runs the tool with the file `from` piped into it; its peak memory.
    const auto piped = [&](const std::vector<std::string>& args, const char* from, const char* name) {
        int pipe_fds[2];
        EXPECT_EQ(pipe(pipe_fds), 0);
        const pid_t feeder = fork();
        if (feeder == 0) {
            close(pipe_fds[0]);
            const int in = open(at(from).c_str(), O_RDONLY);
            char buf[1 << 16];
            for (ssize_t got; (got = read(in, buf, sizeof buf)) > 0;) {
                if (write(pipe_fds[1], buf, static_cast<std::size_t>(got)) != got) _exit(1);
            }
            _exit(0);
        }
        close(pipe_fds[1]);
        const pid_t filter = start(args, name, {}, 022, pipe_fds[0]);
        close(pipe_fds[0]);
        rusage usage{};
        const int status = finish(filter, &usage);
        finish(feeder);
        EXPECT_EQ(status, 0) << log(name);
        return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
    };
    [[maybe_unused]] const std::size_t peak =
        piped({"encrypt", "--pass", "env:K", "-o", "big.cls"}, "input", "spool");
    EXPECT_EQ(fs::file_size(at("big.cls")), kSize + 16);
    // Hexadecimal ciphertext is spooled as the bytes it gives, never held as
    // text. (Written by a child: a tool started from this process counts
    // what this process holds.)
    if (const pid_t writer = fork(); writer == 0) {
        const std::string cipher = slurp(at("big.cls"));
        std::string text = "\\x";
        text.reserve(cipher.size() * 2 + cipher.size() / 16 + 8);
        for (std::size_t i = 0; i < cipher.size(); ++i) {
            text += "0123456789abcdef"[static_cast<unsigned char>(cipher[i]) >> 4];
            text += "0123456789ABCDEF"[static_cast<unsigned char>(cipher[i]) & 15];
            if (i % 32 == 31) text += '\n';
        }
        spit(at("big.hex"), text);
        _exit(0);
    } else {
        ASSERT_EQ(finish(writer), 0);
    }
    [[maybe_unused]] const std::size_t hex_peak =
        piped({"decrypt", "--pass", "env:K", "--hex", "-o", "big.out"}, "big.hex", "hex");
    EXPECT_TRUE(slurp(at("big.out")) == slurp(at("input"))) << "the spooled hexadecimal decryption differs";
    unsetenv("CLSCRYPT_SPOOL_THRESHOLD");
    unsetenv("TMPDIR");
#ifndef CLSCRYPT_TESTS_SANITIZED
    // Not the input in memory: a few pieces of it. (A child's peak counts
    // what this process held when it forked: small when the test runs
    // alone, as CTest runs each.)
    EXPECT_LT(peak, kSize * 3 / 4);
    EXPECT_LT(hex_peak, kSize * 3 / 4);
#endif
    EXPECT_TRUE(fs::is_empty(tmp));
    const std::string data = slurp(at("input"));

    // Back through a pipe, spooled again, and through memory: the same text.
    const Environment spooled = {{"CLSCRYPT_SPOOL_THRESHOLD", "4096"}, {"TMPDIR", tmp.string()}, {"K", "old key"}};
    const Result back = run({{"decrypt", "--pass", "env:K"}, slurp(at("big.cls")), spooled});
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == data) << "the spooled decryption differs";
    const Result hex = run({{"encrypt", "--pass", "env:K", "--hex"}, data.substr(0, 10000), spooled});
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_EQ(hex.out.size(), 2 * (10000 + 16) + 1u);
    EXPECT_EQ(run({{"decrypt", "--pass", "env:K", "--hex"}, hex.out, {{"K", "old key"}}}).out, data.substr(0, 10000));
    // Hexadecimal ciphertext is read a piece at a time and spooled as bytes,
    // by the one rule (a leading \x, separators anywhere), with the faults
    // and positions of the whole text, found past the first piece too.
    const Result long_hex = run({{"encrypt", "--pass", "env:K", "--hex"}, data.substr(0, 700000), spooled});
    ASSERT_EQ(long_hex.status, 0) << long_hex.err;
    std::string wrapped = "\\x";
    for (std::size_t at = 0; at < long_hex.out.size(); at += 64) wrapped += long_hex.out.substr(at, 64) + "\r\n";
    const Result read_back = run({{"decrypt", "--pass", "env:K", "--hex"}, wrapped, spooled});
    EXPECT_EQ(read_back.status, 0) << read_back.err;
    EXPECT_TRUE(read_back.out == data.substr(0, 700000)) << "the spooled hexadecimal decryption differs";
    EXPECT_TRUE(fs::is_empty(tmp));
    struct HexFault {
        std::size_t at;  // where the text is changed
        std::string put;
        std::string said;
    };
    for (const HexFault& f : std::vector<HexFault>{
             {1200000, "g", "is not hexadecimal text (a character that is not a digit at position 1200001)"},
             {5, "x", "is not hexadecimal text (a character that is not a digit at position 6)"},
             {wrapped.size(), "A", "has an odd number of hexadecimal digits"},
         }) {
        std::string bad = wrapped;
        bad.insert(f.at, f.put);
        const Result r = run({{"decrypt", "--pass", "env:K", "--hex", "-o", "never"}, bad, spooled});
        EXPECT_EQ(r.status, 2) << f.said;
        EXPECT_NE(r.err.find("standard input " + f.said), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(at("never")));
    }
    EXPECT_TRUE(fs::is_empty(tmp));
    // A wrong key is found before anything is written, as from memory.
    const Result wrong = run({{"decrypt", "--pass", "pass:other", "-o", "out"}, slurp(at("big.cls")), spooled});
    EXPECT_EQ(wrong.status, 4) << wrong.err;
    EXPECT_FALSE(fs::exists(at("out")));
    EXPECT_TRUE(fs::is_empty(tmp));

    // A TMPDIR that cannot hold it is named, and nothing is written.
    const Result nowhere = run({{"encrypt", "--pass", "pass:k", "-o", "x.cls"},
                                data.substr(0, 10000),
                                {{"CLSCRYPT_SPOOL_THRESHOLD", "4096"}, {"TMPDIR", (logs_ / "missing").string()}}});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("TMPDIR"), std::string::npos) << nowhere.err;
    EXPECT_FALSE(fs::exists(at("x.cls")));
}

// Many files in one folder: each file is flushed, the folder once per run
// (before the run ends), not once per file.
// (The leak checker of sanitized builds cannot run under a tracer.)
TEST_F(ToolFiles, FoldersAreFlushedOncePerRun) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace here";
    fs::create_directories(at("d/sub"));
    for (int i = 0; i < 12; ++i) spit(at((i % 2 ? "d/f" : "d/sub/f") + std::to_string(i)), "small");
    const fs::path trace = logs_ / "trace";
    const std::string command = "cd '" + dir_.string() +
                                "' && K=k ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -y "
                                "-e trace=fsync,fdatasync -o '" +
                                trace.string() + "' '" + CLSCRYPT_TOOL_PATH + "' encrypt -q --pass env:K -r d";
    const int status = std::system(command.c_str());
    if (slurp(trace).find("PTRACE") != std::string::npos || !fs::exists(trace)) GTEST_SKIP() << "cannot trace here";
    ASSERT_EQ(status, 0);
    std::map<std::string, int> flushes;
    std::istringstream lines(slurp(trace));
    for (std::string line; std::getline(lines, line);) {
        const auto open = line.find("fsync(");
        if (open == std::string::npos) continue;
        const auto start = line.find('<', open), end = line.find('>', start);
        if (start == std::string::npos || end == std::string::npos) continue;
        ++flushes[line.substr(start + 1, end - start - 1)];
    }
    const std::string d = fs::canonical(at("d")).string(), sub = fs::canonical(at("d/sub")).string();
    EXPECT_EQ(flushes[d], 1);
    EXPECT_EQ(flushes[sub], 1);
    for (int i = 0; i < 12; ++i) {
        const std::string out = fs::canonical(at((i % 2 ? "d/f" : "d/sub/f") + std::to_string(i) + ".cls")).string();
        std::size_t file_flushes = 0;
        for (const auto& [name, n] : flushes)
            file_flushes += name.find("/.f" + std::to_string(i) + ".") != std::string::npos ? n : 0;
        EXPECT_EQ(file_flushes, 1u) << out;
    }
}

}  // namespace
}  // namespace clscrypt::test
