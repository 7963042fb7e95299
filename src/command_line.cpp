#include "command_line.h"

#include <cstddef>

namespace {

constexpr bool is_blank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

std::size_t skip_blanks(std::u16string_view line, std::size_t i) {
    while (i < line.size() && is_blank(line[i])) ++i;
    return i;
}

// Takes the program name from the start of the line; returns where it ends.
std::size_t take_program_name(std::u16string_view line, std::u16string& name) {
    bool quoting = false;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        const char16_t unit = line[i];
        if (unit == u'"') {
            quoting = !quoting;
        } else if (!quoting && is_blank(unit)) {
            break;
        } else {
            name += unit;
        }
    }
    return i;
}

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view line) {
    line = line.substr(0, line.find(u'\0'));

    std::vector<std::u16string> arguments(1);
    if (line.empty()) return arguments;

    std::size_t i = skip_blanks(line, take_program_name(line, arguments.front()));

    std::u16string current;
    bool quoting = false;
    while (i < line.size()) {
        const char16_t unit = line[i];
        if (!quoting && is_blank(unit)) {
            arguments.push_back(std::move(current));
            current.clear();
            i = skip_blanks(line, i);
            continue;
        }
        if (unit == u'\\') {
            std::size_t run_end = i;
            while (run_end < line.size() && line[run_end] == u'\\') ++run_end;
            const std::size_t run = run_end - i;
            i = run_end;
            if (i == line.size() || line[i] != u'"') {
                current.append(run, u'\\');
                continue;
            }
            current.append(run / 2, u'\\');
            // An odd run escapes the quote; an even one leaves it to quote.
            if (run % 2 == 1) {
                current += u'"';
                ++i;
            }
            continue;
        }
        if (unit == u'"') {
            if (!quoting) {
                quoting = true;
                ++i;
            } else if (i + 1 < line.size() && line[i + 1] == u'"') {
                current += u'"';
                i += 2;
            } else if (i + 1 == line.size()) {
                // A closing quote that ends the line still yields an argument,
                // so a final "" is an empty value, not a missing one.
                arguments.push_back(std::move(current));
                return arguments;
            } else {
                quoting = false;
                ++i;
            }
            continue;
        }
        current += unit;
        ++i;
    }
    if (!current.empty() || quoting) arguments.push_back(std::move(current));
    return arguments;
}
