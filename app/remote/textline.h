// A line of a text file a site writes by hand (the roles table, the
// commissioning file) without the blanks around it: spaces, tabs, and the
// carriage return of a file saved with CRLF line ends. Plain C++.
#ifndef APP_REMOTE_TEXTLINE_H
#define APP_REMOTE_TEXTLINE_H

#include <string_view>

namespace app::remote {

inline std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace app::remote

#endif  // APP_REMOTE_TEXTLINE_H
