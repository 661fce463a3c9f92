#pragma once
// Who gets a place when a connection arrives. The server holds at most
// `total` connections and one address at most `perAddress` of them. At a
// limit the oldest connection that has not logged in yet gives its place to
// the newcomer: a stranger's idle sockets cannot keep a terminal out. Only
// when every place in question is logged in is the newcomer refused, with an
// answer its client can show.

#include <cstddef>
#include <string>
#include <vector>

namespace lectora::server
{

struct ConnectionLimits {
    std::size_t total = 512;
    std::size_t perAddress = 256;
};

// A connection holding a place, in the order they arrived (oldest first).
struct Occupant {
    int id = 0;
    std::string address;
    bool loggedIn = false;
};

struct Admission {
    enum class Kind { Admit, Evict, Refuse } kind = Kind::Admit;
    int evict = 0;         // Evict: the occupant that goes; the newcomer then takes its place
    std::size_t limit = 0; // Refuse: the limit that was reached
};

Admission admit(const std::vector<Occupant>& occupants, const std::string& address,
                const ConnectionLimits& limits);

} // namespace lectora::server
