#pragma once

#include <string_view>

// The letter case that the program ignores is ASCII's alone (A to Z against a
// to z): not std::tolower, which depends on the C locale and may fold other
// characters. For bytes and for UTF-16 units alike.

template <typename Unit>
constexpr bool is_ascii_letter(Unit unit) {
    return (unit >= Unit('A') && unit <= Unit('Z')) || (unit >= Unit('a') && unit <= Unit('z'));
}

template <typename Unit>
constexpr Unit ascii_lower(Unit unit) {
    return unit >= Unit('A') && unit <= Unit('Z') ? static_cast<Unit>(unit - Unit('A') + Unit('a')) : unit;
}

// Whether `text` ends with `lower_suffix` (given in lower case), ignoring the
// case of ASCII letters.
template <typename Unit>
constexpr bool ends_with_ignoring_ascii_case(std::basic_string_view<Unit> text,
                                             std::basic_string_view<Unit> lower_suffix) {
    if (text.size() < lower_suffix.size()) return false;
    const auto tail = text.substr(text.size() - lower_suffix.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (ascii_lower(tail[i]) != lower_suffix[i]) return false;
    return true;
}

// Whether the two texts are equal, ignoring the case of ASCII letters.
template <typename Unit>
constexpr bool equal_ignoring_ascii_case(std::basic_string_view<Unit> first, std::basic_string_view<Unit> second) {
    if (first.size() != second.size()) return false;
    for (std::size_t i = 0; i < first.size(); ++i)
        if (ascii_lower(first[i]) != ascii_lower(second[i])) return false;
    return true;
}
