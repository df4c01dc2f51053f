// Reads what the example application prints: lines of key="escaped value".
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

struct HelloOutput {
    std::multimap<std::string, std::string> values;

    explicit HelloOutput(const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            size_t eq = line.find("=\"");
            if (eq == std::string::npos || line.back() != '"') {
                continue;
            }
            values.emplace(line.substr(0, eq), unescape(line.substr(eq + 2, line.size() - eq - 3)));
        }
    }

    bool has(const std::string& key) const { return values.count(key) > 0; }
    std::string get(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? "<missing " + key + ">" : it->second;
    }
    std::vector<std::string> all(const std::string& key) const {
        std::vector<std::string> found;
        for (auto [it, end] = values.equal_range(key); it != end; ++it) {
            found.push_back(it->second);
        }
        return found;
    }
    std::vector<std::string> arguments() const {
        std::vector<std::string> found;
        for (int i = 0; has("argv[" + std::to_string(i) + "]"); ++i) {
            found.push_back(get("argv[" + std::to_string(i) + "]"));
        }
        return found;
    }

    static std::string unescape(const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\' || i + 1 == text.size()) {
                out.push_back(text[i]);
                continue;
            }
            char c = text[++i];
            switch (c) {
            case 't':
                out.push_back('\t');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 'v':
                out.push_back('\v');
                break;
            case 'x':
                out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
                i += 2;
                break;
            default:
                out.push_back(c);
            }
        }
        return out;
    }
};
