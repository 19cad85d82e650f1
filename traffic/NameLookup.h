// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <string_view>

namespace flowsentry {

// The host names known for addresses, as the list and the filter read them. The cache that fills it (and
// the resolver behind it) lives in platform/; the traffic code only reads.
class INameLookup {
public:
    INameLookup() = default;
    INameLookup(const INameLookup&) = delete;
    INameLookup& operator=(const INameLookup&) = delete;
    virtual ~INameLookup() = default;

    // The name known for `address`, or empty (not asked yet, asked, or the address has no name).
    [[nodiscard]] virtual std::string_view NameOf(const IpAddress& address) const = 0;
};

} // namespace flowsentry
