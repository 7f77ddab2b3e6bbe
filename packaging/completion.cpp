// The bash completion of circuit-host and scripts/bench, from the host's
// option table: options, the files their values name (a FILE, saved runs
// after --compare, the module), and the build names of scripts/bench.
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

// The option words of a row: "-h, --help" names two.
std::vector<std::string> namesOf(const host::OptionHelp& o) {
    std::vector<std::string> names;
    std::string word;
    for (char c : o.name + " ") {
        if (c == ' ' || c == ',') {
            if (word.size() > 1 && word != "--") names.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return names;
}

const char kFunctions[] = R"(
# Completes the word being typed with files: every file, or folders and the
# files that match one of the globs given (such as *.json).
_circuit_host_files() {
    local cur=${COMP_WORDS[COMP_CWORD]} glob
    compopt -o filenames 2>/dev/null || true
    if [ $# -eq 0 ]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; for glob; do compgen -f -X "!$glob" -- "$cur"; done)
}

_circuit_host() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} word
    COMPREPLY=()
    case "$prev" in
        %s) _circuit_host_files; return ;;
        %s) return ;;
    esac
    if [[ "$cur" == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_circuit_host_options" -- "$cur")
        return
    fi
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        [ "$word" = --compare ] && { _circuit_host_files "*.json"; return; }
    done
    _circuit_host_files "*.so" "*.dll"
}

_circuit_bench() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [ "$prev" = --build ]; then
        mapfile -t COMPREPLY < <(compgen -W "$_circuit_bench_builds" -- "$cur")
    elif [[ "$cur" == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--build $_circuit_host_options" -- "$cur")
    else
        _circuit_host
    fi
}

complete -F _circuit_host circuit-host circuit-host.exe
complete -F _circuit_bench scripts/bench ./scripts/bench
)";

} // namespace

void completion(const std::vector<std::string>& builds) {
    std::vector<std::string> options, files, texts;
    for (const host::OptionHelp& o : host::optionHelp()) {
        for (const std::string& name : namesOf(o)) {
            options.push_back(name);
            const std::string& v = o.value;
            // A value that names a file; a value ending in "..." is the list
            // of words after the option, completed as such below.
            if (v.find("FILE") != std::string::npos) files.push_back(name);
            else if (!v.empty() && v.find("...") == std::string::npos) texts.push_back(name);
        }
    }
    auto pattern = [](const std::vector<std::string>& names) {
        std::string p;
        for (const std::string& n : names) p += (p.empty() ? "" : "|") + n;
        return p.empty() ? std::string("--never") : p;
    };
    std::printf("# bash completion of circuit-host and scripts/bench, generated from circuit-host's options.\n"
                "# Source it, or install it as bash-completion's completions/circuit-host.\n"
                "_circuit_host_options='%s'\n_circuit_bench_builds='%s'\n",
                joined(options).c_str(), joined(builds).c_str());
    std::printf(kFunctions, pattern(files).c_str(), pattern(texts).c_str());
}
