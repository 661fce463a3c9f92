#include "server/Admission.h"

#include <algorithm>

namespace lectora::server
{

Admission admit(const std::vector<Occupant>& occupants, const std::string& address,
                const ConnectionLimits& limits)
{
    const auto sameAddress = [&](const Occupant& o) { return o.address == address; };
    const auto fromAddress =
        static_cast<std::size_t>(std::count_if(occupants.begin(), occupants.end(), sameAddress));
    // Over its share an address makes room among its own connections only.
    const bool ownShare = fromAddress >= limits.perAddress;
    if (!ownShare && occupants.size() < limits.total)
        return {};
    const auto victim = std::find_if(occupants.begin(), occupants.end(), [&](const Occupant& o) {
        return !o.loggedIn && (!ownShare || sameAddress(o));
    });
    if (victim == occupants.end())
        return {Admission::Kind::Refuse, 0, ownShare ? limits.perAddress : limits.total};
    return {Admission::Kind::Evict, victim->id, 0};
}

} // namespace lectora::server
