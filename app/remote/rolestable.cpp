// The rights a request needs, register by register, and the roles table read
// from its text.
#include "app/remote/rolestable.h"

#include "app/remote/registermap.h"
#include "app/remote/textline.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace app::remote {

namespace {

constexpr std::array<std::pair<std::string_view, Rights>, 4> rightNames{{
    {"read", right::read},
    {"stop", right::stop},
    {"control", right::control},
    {"commission", right::commission},
}};

Rights rightToWrite(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case holding::controlWord:
        return value == 0 ? right::stop : right::control;
    case holding::speedReference:
        return right::control;
    case holding::ratedVoltage:
    case holding::ratedSpeed:
    case holding::poles:
    case holding::voltsPerHertz:
    case holding::timeout:
        return right::commission;
    default:
        return right::none;  // no such register to write: the map refuses it whole
    }
}

}  // namespace

Rights rightsNeeded(const Request& request)
{
    Rights needed = right::none;
    if (request.write)
        for (std::size_t i = 0; i < request.write->values.size(); ++i)
            needed |= rightToWrite(static_cast<std::uint16_t>(request.write->start + i), request.write->values[i]);
    if (request.read || needed == right::none)
        needed |= right::read;
    return needed;
}

Rights rightsNeeded(std::span<const std::uint8_t> pdu)
{
    const auto decoded = decode(pdu);
    const Request* request = std::get_if<Request>(&decoded);
    return request ? rightsNeeded(*request) : right::read;
}

std::string rightsText(Rights rights)
{
    std::string text;
    for (const auto& [name, bit] : rightNames)
        if (rights & bit)
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

RolesTable RolesTable::parse(std::string_view text)
{
    RolesTable table;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const auto fail = [number](const std::string& what) {
            return RolesTableError("line " + std::to_string(number) + ": " + what);
        };
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            throw fail("no '=' between the role and its rights (role = read, stop, ...)");
        const std::string role(trimmed(line.substr(0, equals)));
        if (role.empty())
            throw fail("no role before '='");
        if (table.rights_.contains(role))
            throw fail("role '" + role + "' is named twice");
        Rights rights = right::none;
        std::istringstream words{std::string(line.substr(equals + 1))};
        for (std::string word; std::getline(words >> std::ws, word, ',');) {
            std::istringstream blankSeparated(word);
            for (std::string name; blankSeparated >> name;) {
                const auto* found = std::find_if(rightNames.begin(), rightNames.end(),
                                                 [&](const auto& known) { return known.first == name; });
                if (found == rightNames.end())
                    throw fail("unknown right '" + name + "' (read, stop, control, commission)");
                rights |= found->second;
            }
        }
        if ((rights & right::control) && !(rights & right::stop))
            throw fail("role '" + role + "' has control without stop: a client that may start a run must be "
                       "able to stop it");
        table.rights_.emplace(role, rights);
    }
    return table;
}

RolesTable RolesTable::load(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw RolesTableError("the roles table " + path + " could not be opened: " + std::strerror(errno));
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad())
        throw RolesTableError("the roles table " + path + " could not be read");
    try {
        return parse(text);
    } catch (const RolesTableError& error) {
        throw RolesTableError("the roles table " + path + ", " + error.what());
    }
}

Rights RolesTable::rightsOf(const std::optional<std::string>& role) const
{
    if (!role)
        return right::none;
    const auto found = rights_.find(*role);
    return found != rights_.end() ? found->second : right::none;
}

}  // namespace app::remote
