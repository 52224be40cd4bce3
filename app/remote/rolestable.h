// Who may do what over Modbus/TCP Security: the rights a request needs, in
// the register map's terms, and the table the site writes that gives each
// role its rights. A role comes from the client's certificate; none is built
// in. Plain C++: the check is a pure function of the decoded request and the
// rights granted, asked by the server for every request of a secure
// connection.
//
// The table is a text file, one role a line:
//
//     # role = rights
//     operator   = read, stop, control
//     engineer   = read stop control commission
//     supervisor = read, stop
//
// The role is everything before the first '=' (blanks around it dropped);
// the rights after it are separated by commas or blanks, and may be none.
// '#' starts a comment. A role named twice, an unknown right or control
// without stop (a client that may start a run must be able to stop it) is an
// error naming the line.
#ifndef APP_REMOTE_ROLESTABLE_H
#define APP_REMOTE_ROLESTABLE_H

#include "app/remote/protocol.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace app::remote {

// A set of rights, one bit each.
using Rights = std::uint8_t;
namespace right {
inline constexpr Rights none = 0;
inline constexpr Rights read = 1 << 0;        // function codes 3, 4 and 43/14; FC23's read
inline constexpr Rights stop = 1 << 1;        // the control word written 0: RUN 0, nothing else
inline constexpr Rights control = 1 << 2;     // any other control word, the speed reference
inline constexpr Rights commission = 1 << 3;  // the rating, the poles, V/f, the timeout
inline constexpr Rights all = read | stop | control | commission;
}  // namespace right

// What the request asks, all of which must be granted. A request that asks
// nothing of the others (a read, one the protocol refuses, a write past the
// registers) needs read, so that a role with no rights gets nothing at all.
Rights rightsNeeded(const Request& request);
// The PDU decoded; one that does not decode needs read.
Rights rightsNeeded(std::span<const std::uint8_t> pdu);
// "read, stop", or "none".
std::string rightsText(Rights rights);

class RolesTableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RolesTable {
public:
    // Throws RolesTableError: "line 3: unknown right 'write' (read, stop,
    // control, commission)".
    static RolesTable parse(std::string_view text);
    // Throws RolesTableError naming the file.
    static RolesTable load(const std::string& path);

    // A certificate without a role, or a role the table does not name, has none.
    Rights rightsOf(const std::optional<std::string>& role) const;
    bool names(const std::string& role) const { return rights_.contains(role); }
    std::size_t size() const { return rights_.size(); }

private:
    std::map<std::string, Rights, std::less<>> rights_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_ROLESTABLE_H
