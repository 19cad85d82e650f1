// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/LinkLayer.h"

#include <pcap/pcap.h>

namespace flowsentry {

bool IsSupportedLinkType(int linkType) {
    switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

std::string LinkTypeName(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    if (name != nullptr) {
        return std::string("DLT_") + name;
    }
    return std::to_string(linkType); // shown after the words "link type"
}

} // namespace flowsentry
