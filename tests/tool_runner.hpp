// The tool's end-to-end harness: runs the real binary in a scratch folder,
// through pipes without a controlling terminal or on a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "test_util.hpp"

namespace clscrypt::test {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Invocation {
    Invocation(std::vector<std::string> a, std::string in = {}, Environment e = {},
               std::optional<std::string> f = std::nullopt)
        : args(std::move(a)), input(std::move(in)), env(std::move(e)), fd3(std::move(f)) {}
    std::vector<std::string> args;
    std::string input;
    Environment env;
    std::optional<std::string> fd3;  // content readable on file descriptor 3
};

inline std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs the tool in `cwd` without a controlling terminal.
inline Result run_tool(const fs::path& cwd, Invocation r) {
    int in[2], out[2], err[2], extra[2] = {-1, -1};
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    if (r.fd3) {
        EXPECT_EQ(pipe(extra), 0);
    }
    std::vector<std::string> args = {CLSCRYPT_TOOL_PATH};
    args.insert(args.end(), r.args.begin(), r.args.end());
    auto argv = argv_of(args);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (r.fd3) dup2(extra[0], 3);
        for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1], extra[0], extra[1]}) {
            if (fd > 3) close(fd);
        }
        if (chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& [k, v] : r.env) setenv(k.c_str(), v.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Each input is fed by a thread of its own: the tool may stop reading
    // early (a key source past its limit), so neither may block the other,
    // and a write to a closed pipe just ends the feeding.
    signal(SIGPIPE, SIG_IGN);
    const auto feed = [](int fd, std::string input) {
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t put = write(fd, input.data() + done, input.size() - done);
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        close(fd);
    };
    std::thread key_feeder;
    if (r.fd3) {
        close(extra[0]);
        key_feeder = std::thread(feed, extra[1], *r.fd3);
    }
    std::thread feeder(feed, in[1], r.input);
    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(got));
            }
        }
    }
    feeder.join();
    if (key_feeder.joinable()) key_feeder.join();
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Runs the tool on a pseudo-terminal, answering each prompt in turn.
inline Result run_on_terminal(const fs::path& cwd, std::vector<std::string> args,
                       const std::vector<std::pair<std::string, std::string>>& dialogue) {
    std::vector<std::string> full = {CLSCRYPT_TOOL_PATH};
    full.insert(full.end(), args.begin(), args.end());
    auto argv = argv_of(full);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Result result;
    std::size_t step = 0;
    char buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;  // a hang fails the test below
        const ssize_t got = read(master, buf, sizeof buf);
        if (got <= 0) break;  // EIO once the child has gone
        result.out.append(buf, static_cast<std::size_t>(got));
        if (step < dialogue.size() && result.out.find(dialogue[step].first) != std::string::npos) {
            result.out.clear();
            const std::string& answer = dialogue[step].second;
            EXPECT_EQ(write(master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
            ++step;
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const fs::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

inline std::string random_text(std::size_t n) {
    const auto bytes = random_bytes(n);
    return {bytes.begin(), bytes.end()};
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/clscrypt-tool-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }
    Result run(Invocation r) { return run_tool(dir_, std::move(r)); }
    fs::path at(const std::string& name) const { return dir_ / name; }
    std::vector<std::string> listing(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> listing() const { return listing(dir_); }
    fs::path dir_;
};

}  // namespace clscrypt::test
