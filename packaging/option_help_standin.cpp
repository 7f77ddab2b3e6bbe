// Stand-in: the option rows read back from the usage text.
#include <sstream>

#include "option_help_standin.h"
#include "options.h"

namespace host {

std::vector<OptionHelp> optionHelp() {
    std::vector<OptionHelp> rows;
    std::istringstream in(kUsage);
    std::string line;
    bool inOptions = false;
    while (std::getline(in, line)) {
        if (line == "Options:") inOptions = true;
        else if (line.empty()) inOptions = false;
        if (!inOptions || line.size() < 4 || line[0] != ' ') continue;
        if (line[2] == '-') {
            // "  --name VALUE  help": the value is the second word when it is
            // written in capitals (LIST, FILE, RUN.json...).
            std::istringstream words(line);
            OptionHelp row;
            std::string word;
            words >> row.name >> word;
            if (!word.empty() && word[0] >= 'A' && word[0] <= 'Z') {
                row.value = word;
                word.clear();
            }
            std::string rest;
            std::getline(words, rest);
            row.help = word + rest;
            row.help.erase(0, row.help.find_first_not_of(' '));
            rows.push_back(row);
        } else if (!rows.empty()) {
            rows.back().help += " " + line.substr(line.find_first_not_of(' '));
        }
    }
    return rows;
}

} // namespace host
