// circuit-host-docs: writes circuit-host's manual page (roff) or its bash
// completion, both from the host's own option table and the text --help
// prints, at build time; neither can then say other than --help.
//
//   circuit-host-docs man MODULE-PATH > circuit-host.1
//   circuit-host-docs completion BUILD... > circuit-host.bash
//
// MODULE-PATH is where the package puts the module, relative to the
// installation prefix; BUILD... are the names scripts/bench takes with --build.
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "machine.h"
#include "options.h"

namespace {

// Text as roff shows it: backslashes and hyphens escaped, no line taken for
// a request.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// The help text's paragraphs (blank-line separated, lines joined), leaving
// out the usage lines and the option list, which have sections of their own.
std::vector<std::string> paragraphs(const std::string& help, std::vector<std::string>& usage) {
    std::vector<std::string> result;
    std::istringstream in(help);
    std::string line, paragraph;
    bool inUsage = false, inOptions = false;
    while (std::getline(in, line)) {
        const size_t text = line.find_first_not_of(' ');
        const size_t command = line.find("circuit-host");
        if (text == std::string::npos) {
            if (!paragraph.empty()) result.push_back(paragraph);
            paragraph.clear();
            inUsage = inOptions = false;
        } else if (line.rfind("Usage:", 0) == 0 || (inUsage && command == text)) {
            inUsage = true;
            if (command != std::string::npos) usage.push_back(line.substr(command + 12));
        } else if (line == "Options:" || inOptions) {
            inOptions = true;
        } else {
            paragraph += (paragraph.empty() ? "" : " ") + line.substr(text);
        }
    }
    if (!paragraph.empty()) result.push_back(paragraph);
    return result;
}

void manPage(const std::string& modulePath) {
    std::vector<std::string> usage;
    const std::vector<std::string> text = paragraphs(host::usageText(), usage);
    std::printf(".TH CIRCUIT-HOST 1 \"\" \"circuit-host %s\" \"User Commands\"\n", host::hostVersion().c_str());
    std::printf(".SH NAME\ncircuit-host \\- check and time the entries of a circuit-2 module\n.SH SYNOPSIS\n");
    for (size_t i = 0; i < usage.size(); ++i)
        std::printf("%s\\fBcircuit\\-host\\fR%s\n", i ? ".br\n" : "", roff(usage[i]).c_str());
    // The exit statuses, from the sentence that starts with "Exit status"
    // to the end of its paragraph, have a section of their own.
    std::string exitStatus;
    std::printf(".SH DESCRIPTION\n");
    for (const std::string& p : text) {
        const size_t at = p.find("Exit status");
        if (at != std::string::npos) exitStatus = p.substr(at);
        if (at != 0) std::printf(".PP\n%s\n", roff(p.substr(0, at == std::string::npos ? p.size() : at - 1)).c_str());
    }
    std::printf(".SH OPTIONS\n");
    for (const host::OptionHelp& o : host::optionHelp()) {
        std::printf(".TP\n\\fB%s\\fR", roff(o.name).c_str());
        if (!o.value.empty()) std::printf(" \\fI%s\\fR", roff(o.value).c_str());
        std::printf("\n%s\n", roff(o.help).c_str());
    }
    if (!exitStatus.empty()) std::printf(".SH EXIT STATUS\n%s\n", roff(exitStatus).c_str());
    std::printf(".SH FILES\n.TP\n\\fI%s\\fR\nthe module, under the installation prefix (\\fI/usr\\fR for the "
                "Debian package, \\fI/usr/local\\fR for \\fBcmake \\-\\-install\\fR by default)\n",
                roff(modulePath).c_str());
    std::printf(".SH EXAMPLES\n.nf\ncircuit\\-host /usr/%s\ncircuit\\-host \\-\\-json /usr/%s > run.json\n"
                "circuit\\-host \\-\\-compare old.json run.json\n.fi\n",
                roff(modulePath).c_str(), roff(modulePath).c_str());
}

} // namespace

void completion(const std::vector<std::string>& builds);

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "man") {
        manPage(args[1]);
    } else if (!args.empty() && args[0] == "completion") {
        completion(std::vector<std::string>(args.begin() + 1, args.end()));
    } else {
        std::fprintf(stderr, "usage: circuit-host-docs man MODULE-PATH | completion BUILD...\n");
        return 2;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
