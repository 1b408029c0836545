// The tool's documents against the tool: the manual page, every command's
// --help and the options the parser really accepts name the same options,
// and the shell completions load and complete.

#include <cctype>
#include <set>

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

// Every command, as the words after "clscrypt".
const std::vector<std::vector<std::string>> kCommands = {
    {}, {"encrypt"}, {"decrypt"}, {"rekey"}, {"sha256"}, {"hex"}, {"hex", "encode"}, {"hex", "decode"}, {"help"}};

class ToolDocs : public Tool {
protected:
    std::string generated(const std::vector<std::string>& args) {
        const Result r = run({args});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    // The options a command's --help lists: the words of its option lines
    // that start with '-', up to the first blank.
    std::set<std::string> help_options(const std::vector<std::string>& command) {
        std::vector<std::string> args = command;
        args.push_back("--help");
        const Result r = run({args});
        EXPECT_EQ(r.status, 0) << r.err;
        std::set<std::string> out;
        std::istringstream lines(r.out);
        bool in_options = false;
        for (std::string line; std::getline(lines, line);) {
            if (line == "Options:") {
                in_options = true;
                continue;
            }
            if (!in_options) continue;
            if (line.empty() || line[0] != ' ') break;
            const auto start = line.find_first_not_of(' ');
            if (start != 2 || line[start] != '-') continue;  // a continued description
            const std::string names = line.substr(start, line.find(' ', start) - start);
            std::istringstream parts(names);
            for (std::string name; std::getline(parts, name, ',');) out.insert(name);
        }
        return out;
    }

    // Whether the parser of `command` takes `option`: the run may fail
    // for want of a value or an input, but never because of the option.
    bool accepts(const std::vector<std::string>& command, const std::string& option) {
        std::vector<std::string> args = command;
        args.push_back(option);
        const Result r = run({args});
        return r.err.find("not expected") == std::string::npos && r.err.find("unknown option") == std::string::npos &&
               r.err.find("unknown command") == std::string::npos;
    }
};

// The option names a manual page mentions: "\-x" and "\-\-name" where a word
// starts (a blank, a bracket or a font change before them). (A scanner,
// not std::regex, which g++ 12 misjudges at -O2 under the sanitizers.)
std::set<std::string> page_options(const std::string& page) {
    std::set<std::string> out;
    const auto is_alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    const auto dash_at = [&](std::size_t i) { return page.compare(i, 2, "\\-") == 0; };
    for (std::size_t i = 0; i + 2 < page.size(); ++i) {
        if (!dash_at(i)) continue;
        const bool starts_word = i == 0 || std::string(" \t\n([|").find(page[i - 1]) != std::string::npos ||
                                 (i >= 3 && page[i - 3] == '\\' && page[i - 2] == 'f');
        if (!starts_word) continue;
        std::string name;
        std::size_t at = i + 2;
        if (dash_at(at) && at + 2 < page.size() && std::islower(static_cast<unsigned char>(page[at + 2]))) {
            name = "--";
            for (at += 2; at < page.size();) {
                if (is_alnum(page[at])) {
                    name += page[at++];
                } else if (dash_at(at) && at + 2 < page.size() && is_alnum(page[at + 2])) {
                    name += '-';
                    at += 2;
                } else {
                    break;
                }
            }
        } else if (std::isalpha(static_cast<unsigned char>(page[at])) &&
                   (at + 1 >= page.size() || !is_alnum(page[at + 1]))) {
            name = std::string("-") + page[at];
            ++at;
        } else {
            continue;
        }
        out.insert(name);
        i = at - 1;
    }
    return out;
}

TEST_F(ToolDocs, ManualHelpAndParserNameTheSameOptions) {
    const std::string page = generated({"--generate-man"});
    ASSERT_NE(page.find(".TH CLSCRYPT 1"), std::string::npos);
    std::set<std::string> in_help;
    for (const auto& command : kCommands) {
        const auto listed = help_options(command);
        ASSERT_FALSE(listed.empty()) << "no options in the help of " << ::testing::PrintToString(command);
        for (const auto& option : listed) {
            EXPECT_TRUE(accepts(command, option)) << option << " is listed but refused";
            in_help.insert(option);
        }
    }
    // The parser's refusal is what accepts() looks for.
    EXPECT_FALSE(accepts({"encrypt"}, "--no-such-option"));
    const std::set<std::string> in_page = page_options(page);
    for (const auto& option : in_help) EXPECT_TRUE(in_page.count(option)) << option << " missing from the manual page";
    for (const auto& option : in_page) EXPECT_TRUE(in_help.count(option)) << option << " in the page, in no --help";
}

TEST_F(ToolDocs, ManualTellsAWorkingEncryptThenDecrypt) {
    const std::string page = generated({"--generate-man"});
    const auto start = page.find(".SH EXAMPLES");
    ASSERT_NE(start, std::string::npos);
    const auto block = page.find(".nf\n", start);
    const auto end = page.find(".fi", block);
    ASSERT_NE(block, std::string::npos);
    std::istringstream lines(page.substr(block + 4, end - block - 4));
    std::ofstream(at("report.pdf")) << "quarterly figures\n";
    int ran = 0;
    for (std::string line; std::getline(lines, line);) {
        std::string command;
        for (std::size_t i = 0; i < line.size(); ++i)
            command += line[i] == '\\' && line[i + 1] == '-' ? "" : line.substr(i, 1);
        command = command.substr(0, command.find('#'));
        const std::string shell = "cd '" + dir_.string() + "' && PATH='" +
                                  fs::path(CLSCRYPT_TOOL_PATH).parent_path().string() + ":'\"$PATH\" KEY=k " + command;
        EXPECT_EQ(std::system(shell.c_str()), 0) << command;
        ++ran;
    }
    EXPECT_GE(ran, 3);
    EXPECT_EQ(slurp(at("report.pdf")), "quarterly figures\n");
}

TEST_F(ToolDocs, CompletionScriptsRefuseAnUnknownShell) {
    const Result r = run({{"--generate-completions", "csh"}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("clscrypt: no completions for the shell 'csh'"), std::string::npos) << r.err;
}

// Completes `line` (words before the cursor) with the bash script.
std::string bash_complete(const fs::path& script, const std::vector<std::string>& words) {
    std::string array;
    for (const auto& w : words) array += " '" + w + "'";
    const std::string command =
        "bash -c 'source \"$0\"; COMP_WORDS=(\"${@}\"); COMP_CWORD=$(($# - 1)); _clscrypt; "
        "printf \"%s\\n\" \"${COMPREPLY[@]}\"' '" +
        script.string() + "'" + array;
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

TEST_F(ToolDocs, BashCompletionCompletesCommandsAndOptions) {
    if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash here";
    std::ofstream(at("clscrypt.bash")) << generated({"--generate-completions", "bash"});
    struct Case {
        std::vector<std::string> words;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"clscrypt", "enc"}, "encrypt\n"},
        {{"clscrypt", "hex", "e"}, "encode\n"},
        {{"clscrypt", "encrypt", "--pa"}, "--pass\n"},
        {{"clscrypt", "-d", "--show-c"}, "--show-candidate\n"},
        {{"clscrypt", "hex", "decode", "--len"}, "--lenient\n"},
        {{"clscrypt", "sha256", "--ig"}, "--ignore-missing\n"},
        {{"clscrypt", "help", "re"}, "rekey\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bash_complete(at("clscrypt.bash"), c.words), c.expected) << ::testing::PrintToString(c.words);
    }
}

TEST_F(ToolDocs, ZshAndFishCompletionsLoad) {
    int tried = 0;
    if (std::system("command -v zsh >/dev/null 2>&1") == 0) {
        std::ofstream(at("_clscrypt")) << generated({"--generate-completions", "zsh"});
        EXPECT_EQ(std::system(("zsh -n '" + at("_clscrypt").string() + "'").c_str()), 0);
        ++tried;
    }
    if (std::system("command -v fish >/dev/null 2>&1") == 0) {
        std::ofstream(at("clscrypt.fish")) << generated({"--generate-completions", "fish"});
        const std::string check = "fish -c 'source \"" + at("clscrypt.fish").string() +
                                  "\"; complete -C \"clscrypt enc\"' | grep -q '^encrypt'";
        EXPECT_EQ(std::system(check.c_str()), 0);
        ++tried;
    }
    if (tried == 0) GTEST_SKIP() << "neither zsh nor fish is installed";
}

}  // namespace
}  // namespace clscrypt::test
