// Turns a readable text table into the C++ table of a language text module.
//
// Table lines: a number, one TAB, the text. "\r" in a text stands for the CR
// between the lines of a multi-line text, "\\" for a backslash. Lines that are
// empty or begin with "#" are comments.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::string cEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\%03o", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string unescapeTable(const std::string& text, bool& ok) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) {
            ok = false;
            return out;
        }
        const char next = text[++i];
        if (next == 'r') {
            out += '\r';
        } else if (next == '\\') {
            out += '\\';
        } else {
            ok = false;
            return out;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: textgen TABLE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "textgen: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::map<long, std::string> texts;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const size_t tab = line.find('\t');
        char* end = nullptr;
        const long number = std::strtol(line.c_str(), &end, 10);
        bool ok = tab != std::string::npos && end == line.c_str() + tab;
        const std::string text = ok ? unescapeTable(line.substr(tab + 1), ok) : std::string();
        if (!ok || !texts.emplace(number, text).second) {
            std::cerr << argv[1] << ":" << lineNumber << ": bad or repeated entry\n";
            return 1;
        }
    }
    std::ostringstream out;
    out << "// Generated from " << argv[1] << " by textgen; do not edit.\n";
    out << "static const TextEntry kTexts[] = {\n";
    for (const auto& [number, text] : texts) {
        out << "    {" << number << ", \"" << cEscape(text) << "\"},\n";
    }
    out << "};\n";
    std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
    file << out.str();
    return file ? 0 : 1;
}
