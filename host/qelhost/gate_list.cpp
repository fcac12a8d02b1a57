#include "gate_list.h"

#include <fstream>
#include <sstream>

namespace qelhost {

bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the gate list " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string gas;
        if (!(words >> gas) || gas[0] == '#') continue;
        Gate gate;
        gate.gas = gas;
        gate.dataType = GuessDataType(gas);
        std::string word;
        while (words >> word) {
            if (word == "bit") {
                gate.dataType = DATA_TYPE_BIT;
            } else if (word == "word") {
                gate.dataType = DATA_TYPE_WORD;
            } else if (word.find_first_not_of("0123456789") == std::string::npos && word.size() <= 3 &&
                       std::stoi(word) >= 1 && std::stoi(word) <= 100) {
                gate.count = std::stoi(word);
            } else {
                error = path + ":" + std::to_string(number) + ": \"" + word +
                        "\" is neither a count from 1 to 100 nor bit or word";
                return false;
            }
        }
        gates.push_back(gate);
    }
    if (gates.empty()) {
        error = "the gate list " + path + " names no gate";
        return false;
    }
    return true;
}

}  // namespace qelhost
