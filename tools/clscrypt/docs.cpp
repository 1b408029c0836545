// The manual page and the shell completions, made from the parser's tables.
//
// The page's prose is here; its option entries are headed by what the
// parser knows of each option (its names and the word it takes), and every
// option of every command must have an entry, and every entry an option,
// or manual_page() refuses to make the page.

#include "docs.hpp"

#include "man_text.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace clscrypt::tool {

namespace {

// One command of the tree: its words after "clscrypt" ("" for the tool
// itself, "hex encode" for a nested one) and the parser's object.
struct Command {
    std::string path;
    CLI::App* app;
};

std::vector<CLI::App*> subcommands_of(CLI::App& app) {
    return app.get_subcommands(std::function<bool(CLI::App*)>{});
}

void gather(CLI::App& app, const std::string& path, std::vector<Command>& out) {
    out.push_back({path, &app});
    for (CLI::App* sub : subcommands_of(app)) {
        gather(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
    }
}

std::vector<Command> all_commands(CLI::App& app) {
    std::vector<Command> out;
    gather(app, "", out);
    return out;
}

// The options a command takes, positionals left out, in the parser's order.
std::vector<const CLI::Option*> options_of(const CLI::App& app) {
    std::vector<const CLI::Option*> out;
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->nonpositional()) out.push_back(opt);
    }
    return out;
}

// Every spelling of an option: "-j", "--jobs".
std::vector<std::string> spellings(const CLI::Option& opt) {
    std::vector<std::string> out;
    for (const auto& s : opt.get_snames()) out.push_back("-" + s);
    for (const auto& l : opt.get_lnames()) out.push_back("--" + l);
    return out;
}

// The word an option takes ("N", "SOURCE"), without the checks the parser
// appends to it; empty for a flag.
std::string value_word(const CLI::Option& opt) {
    if (opt.get_type_size_max() == 0) return {};
    std::string word = opt.get_type_name();
    if (const auto colon = word.find(':'); colon != std::string::npos) word.resize(colon);
    return word;
}

std::string roff_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '-') {
            out += "\\-";
        } else if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> split_scope(const std::string& scope) {
    std::vector<std::string> out;
    std::string::size_type at = 0;
    for (;;) {
        const auto bar = scope.find('|', at);
        out.push_back(scope.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
        if (bar == std::string::npos) return out;
        at = bar + 1;
    }
}

const CLI::Option* find_option(const CLI::App& app, const std::string& name) {
    for (const CLI::Option* opt : options_of(app)) {
        const auto names = spellings(*opt);
        if (std::find(names.begin(), names.end(), name) != names.end()) return opt;
    }
    return nullptr;
}

// The commands an entry serves.
std::vector<const Command*> entry_commands(const ManEntry& e, const std::vector<Command>& commands) {
    std::vector<const Command*> out;
    if (std::string(e.scope) == "*") {
        for (const auto& c : commands) out.push_back(&c);
        return out;
    }
    for (const auto& word : split_scope(e.scope)) {
        const auto c = std::find_if(commands.begin(), commands.end(), [&](const Command& k) { return k.path == word; });
        if (c == commands.end()) throw std::logic_error("manual page: no command '" + word + "'");
        out.push_back(&*c);
    }
    return out;
}

std::string entry_heading(const CLI::Option& opt) {
    std::string out;
    for (const auto& name : spellings(opt)) {
        out += (out.empty() ? "" : ", ") + std::string("\\fB") + roff_escaped(name) + "\\fR";
    }
    const std::string word = value_word(opt);
    if (!word.empty()) out += " \\fI" + roff_escaped(word) + "\\fR";
    return out;
}

// "(encrypt, decrypt)" for an entry that serves some commands only.
std::string entry_commands_note(const ManEntry& e, const std::vector<Command>& commands) {
    const std::string scope = e.scope;
    if (scope == "*" || scope.empty()) return {};
    const auto served = entry_commands(e, commands);
    std::string out;
    for (const Command* c : served) out += (out.empty() ? "" : ", ") + std::string("\\fB") + c->path + "\\fR";
    return out;
}

std::string synopsis(const std::vector<Command>& commands) {
    std::string out = ".SH SYNOPSIS\n";
    for (const auto& c : commands) {
        if (c.path.empty() || !subcommands_of(*c.app).empty()) continue;
        out += ".B clscrypt " + c.path + "\n[\\fIOPTIONS\\fR]";
        for (const CLI::Option* opt : c.app->get_options()) {
            if (opt->nonpositional()) continue;
            std::string word = opt->get_type_name();
            if (word.empty() || word == "TEXT") {
                word = opt->get_name();
                for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            }
            out += " [\\fI" + roff_escaped(word) + "\\fR" + (opt->get_items_expected_max() > 1 ? "...]" : "]");
        }
        out += "\n.br\n";
    }
    // The forms that a command's options make of it.
    out += R"(.B clscrypt rekey
\fB\-\-pass\fR \fIOLD\fR \fB\-\-new\-pass\fR \fINEW\fR \fIFILE\fR...
.br
.B clscrypt encrypt \-\-lines
[\fIOPTIONS\fR] [\fIFILE\fR...]
.br
.B clscrypt decrypt \-\-lines
[\fIOPTIONS\fR] \fIKEYS\fR [\fB\-\-or\fR \fIKEYS\fR]... [\fIFILE\fR...]
.br
.B clscrypt rekey \-\-lines
[\fIOPTIONS\fR] \fIKEYS\fR [\fB\-\-or\fR \fIKEYS\fR]... \fB\-\-new\-pass\fR \fINEW\fR... [\fIFILE\fR...]
.br
.B clscrypt sha256 \-c
[\fB\-\-quiet\fR | \fB\-\-status\fR | \fB\-w\fR] [\fB\-\-strict\fR] [\fB\-\-ignore\-missing\fR] [\fILIST\fR...]
.br
.B clscrypt sha256 \-\-text
\fITEXT\fR
.br
)";
    out += ".B clscrypt \\-d\n[\\fIOPTIONS\\fR] [\\fIFILE\\fR...] (the same as \\fBdecrypt\\fR)\n.br\n";
    out += ".B clscrypt \\-V\n|\n.B \\-\\-version\n";
    return out;
}

}  // namespace

std::string manual_page(CLI::App& app, const std::string& version) {
    const std::vector<Command> commands = all_commands(app);
    // Every option of every command needs an entry, and every entry an option.
    std::set<std::pair<std::string, const CLI::Option*>> covered;
    for (const auto& section : manual_sections()) {
        for (const auto& e : section.entries) {
            for (const Command* c : entry_commands(e, commands)) {
                const CLI::Option* opt = find_option(*c->app, e.option);
                if (opt == nullptr) {
                    throw std::logic_error(std::string("manual page: '") + (c->path.empty() ? "clscrypt" : c->path) +
                                           "' has no option " + e.option);
                }
                covered.insert({c->path, opt});
            }
        }
    }
    for (const auto& c : commands) {
        for (const CLI::Option* opt : options_of(*c.app)) {
            if (covered.count({c.path, opt}) == 0) {
                throw std::logic_error("manual page: no entry for " + spellings(*opt).back() + " of '" +
                                       (c.path.empty() ? "clscrypt" : c.path) + "'");
            }
        }
    }

    std::ostringstream page;
    page << ".TH CLSCRYPT 1 \"\" \"clscrypt " << version << "\" \"User Commands\"\n"
         << ".SH NAME\nclscrypt \\- encrypt, decrypt and re-key data in the legacy cipher format; SHA-256 and "
            "hexadecimal text\n"
         << synopsis(commands);
    for (const auto& section : manual_sections()) {
        page << ".SH " << section.title << "\n";
        if (*section.before != '\0') page << section.before << "\n";
        for (const auto& e : section.entries) {
            const Command* first = entry_commands(e, commands).front();
            const CLI::Option* opt = find_option(*first->app, e.option);
            page << ".TP\n" << entry_heading(*opt) << "\n";
            const std::string note = entry_commands_note(e, commands);
            if (!note.empty()) page << "(" << note << ") ";
            page << e.text << "\n";
        }
        if (*section.after != '\0') page << section.after << "\n";
    }
    return page.str();
}

namespace {

// Single quotes for the shells: 'it'\''s'.
std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> option_words(const CLI::App& app) {
    std::vector<std::string> out;
    for (const CLI::Option* opt : options_of(app)) {
        for (const auto& s : spellings(*opt)) out.push_back(s);
    }
    return out;
}

std::vector<std::string> command_words(CLI::App& app) {
    std::vector<std::string> out;
    for (CLI::App* sub : subcommands_of(app)) out.push_back(sub->get_name());
    return out;
}

// The words that lead from one command to the next, for the shells' walks:
// "/hex/encode" is reached by "hex" then "encode"; "-d" leads to decrypt.
std::string slashed(const std::string& path) {
    std::string out = "/";
    for (const char c : path) out += c == ' ' ? '/' : c;
    return path.empty() ? "" : out;
}

// The loop both shells' scripts open with: the words typed so far, walked
// to the command they name, left in $cmdpath.
void walk_to_command(std::ostream& s, const std::vector<Command>& commands) {
    for (const auto& c : commands) {
        if (!c.path.empty())
            s << "            " << shell_quoted(slashed(c.path)) << ") cmdpath=" << shell_quoted(slashed(c.path))
              << " ;;\n";
    }
    s << "            /-d) cmdpath=/decrypt ;;\n"
      << "        esac\n"
      << "    done\n";
}

std::string bash_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "# bash completion for clscrypt (made by clscrypt --generate-completions bash)\n"
      << "_clscrypt() {\n"
      << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" cmdpath=\"\" i\n"
      << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "        case \"$cmdpath/${COMP_WORDS[i]}\" in\n";
    walk_to_command(s, commands);
    s << "    local commands=\"\" options=\"\"\n"
      << "    case \"$cmdpath\" in\n";
    for (const auto& c : commands) {
        s << "        " << shell_quoted(slashed(c.path)) << ") commands=" << shell_quoted(joined(command_words(*c.app)))
          << "; options=" << shell_quoted(joined(option_words(*c.app))) << " ;;\n";
    }
    s << "    esac\n"
      << "    if [[ $cmdpath == /help ]]; then commands=" << shell_quoted(joined(command_words(app))) << "; fi\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      << "    elif [[ -n $commands ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
      << "    else\n"
      << "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "    fi\n"
      << "}\n"
      << "complete -o filenames -F _clscrypt clscrypt\n";
    return s.str();
}

std::string zsh_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "#compdef clscrypt\n"
      << "# zsh completion for clscrypt (made by clscrypt --generate-completions zsh)\n"
      << "_clscrypt() {\n"
      << "    local cmdpath=\"\" i\n"
      << "    for ((i = 2; i < CURRENT; i++)); do\n"
      << "        case \"$cmdpath/${words[i]}\" in\n";
    walk_to_command(s, commands);
    s << "    local -a commands options\n"
      << "    case \"$cmdpath\" in\n";
    for (const auto& c : commands) {
        s << "        " << shell_quoted(slashed(c.path)) << ") commands=(" << joined(command_words(*c.app))
          << "); options=(" << joined(option_words(*c.app)) << ") ;;\n";
    }
    s << "    esac\n"
      << "    [[ $cmdpath == /help ]] && commands=(" << joined(command_words(app)) << ")\n"
      << "    if [[ $PREFIX == -* ]]; then\n"
      << "        compadd -a options\n"
      << "    elif (( ${#commands} )); then\n"
      << "        compadd -a commands\n"
      << "    else\n"
      << "        _files\n"
      << "    fi\n"
      << "}\n"
      << "_clscrypt \"$@\"\n";
    return s.str();
}

std::string fish_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "# fish completion for clscrypt (made by clscrypt --generate-completions fish)\n"
      << "complete -c clscrypt -f\n";
    // The condition under which a command's words apply: its own words seen,
    // and none of its subcommands yet.
    const auto condition = [&](const Command& c) {
        std::string cond;
        std::string word;
        std::istringstream words(c.path);
        while (words >> word) {
            cond += (cond.empty() ? "" : "; and ") + std::string("__fish_seen_subcommand_from ") + word;
        }
        const auto subs = command_words(*c.app);
        if (!subs.empty())
            cond += (cond.empty() ? "" : "; and ") + std::string("not __fish_seen_subcommand_from ") + joined(subs);
        if (c.path.empty() && subs.empty()) return std::string("true");
        return cond;
    };
    for (const auto& c : commands) {
        const std::string cond = shell_quoted(condition(c));
        for (CLI::App* sub : subcommands_of(*c.app)) {
            s << "complete -c clscrypt -n " << cond << " -a " << sub->get_name() << " -d "
              << shell_quoted(sub->get_description()) << "\n";
        }
        for (const CLI::Option* opt : options_of(*c.app)) {
            s << "complete -c clscrypt -n " << cond;
            for (const auto& sn : opt->get_snames()) s << " -s " << sn;
            for (const auto& ln : opt->get_lnames()) s << " -l " << ln;
            if (!value_word(*opt).empty()) s << " -r";
            std::string description = opt->get_description();
            if (const auto stop = description.find_first_of(".;("); stop != std::string::npos && stop > 0) {
                description.resize(stop);
            }
            s << " -d " << shell_quoted(description) << "\n";
        }
        if (subcommands_of(*c.app).empty() && !c.path.empty() && c.path != "help") {
            s << "complete -c clscrypt -n " << cond << " -F\n";
        }
    }
    return s.str();
}

}  // namespace

std::string completion_script(CLI::App& app, const std::string& shell) {
    if (shell == "bash") return bash_script(app);
    if (shell == "zsh") return zsh_script(app);
    if (shell == "fish") return fish_script(app);
    throw std::invalid_argument("no completions for the shell '" + shell + "': bash, zsh or fish");
}

}  // namespace clscrypt::tool
