// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry {

// An IPv4 address held as its four octets in wire order packed into one integer with the first octet
// most significant (10.0.0.1 is 0x0A000001). Two addresses are equal exactly when their dotted-quad
// texts are equal, so comparing the numbers is comparing the texts.
using Ipv4Address = std::uint32_t;

Ipv4Address Ipv4FromOctets(std::uint8_t o1, std::uint8_t o2, std::uint8_t o3, std::uint8_t o4);
// Dotted-quad text, each octet in decimal without leading zeros (as inet_ntoa writes it).
std::string Ipv4ToText(Ipv4Address address);
// Accepts only the plain dotted-quad form: four decimal octets 0-255.
std::optional<Ipv4Address> Ipv4FromText(std::string_view text);

// An IPv6 address as its 16 bytes in wire order; comparing the arrays is comparing the addresses.
using Ipv6Address = std::array<std::uint8_t, 16>;

// 0 for IPv4, so that samples and entries made before IPv6 was counted (all bytes zero there) read as IPv4.
// Other marks the table's overflow rows, which stand for datagrams of many address pairs of either family.
enum class IpFamily : std::uint8_t { Ipv4 = 0, Ipv6 = 1, Other = 2 };

// What an overflow row shows for its addresses.
inline constexpr std::string_view kOtherAddressText = "other";

// RFC 5952's canonical text: lower-case hex without leading zeros, the longest run of two or more zero
// groups (the first of equal runs) as "::", and an IPv4-mapped address (::ffff:0:0/96) with its dotted quad.
std::string Ipv6ToText(const Ipv6Address& address);
// The same text written at `out`, which has room for kMaxIpv6Text characters; returns its end.
inline constexpr std::size_t kMaxIpv6Text = 45; // ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255
char* WriteIpv6Text(char* out, const Ipv6Address& address);
// Any textual form inet_pton accepts; no zone ("%eth0").
std::optional<Ipv6Address> Ipv6FromText(std::string_view text);

// An address of either family.
struct IpAddress {
    IpFamily m_family = IpFamily::Ipv4;
    Ipv4Address m_dwV4 = 0;
    Ipv6Address m_v6{};

    IpAddress() = default;
    // Implicit: every place that took an IPv4 address takes one of either family.
    IpAddress(Ipv4Address v4) : m_dwV4(v4) {} // NOLINT(google-explicit-constructor)
    explicit IpAddress(const Ipv6Address& v6) : m_family(IpFamily::Ipv6), m_v6(v6) {}

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};
// Dotted quad, RFC 5952 text, or "other".
std::string IpToText(const IpAddress& address);
// A dotted quad or an IPv6 text.
std::optional<IpAddress> IpFromText(std::string_view text);

enum Column : int {
    ColSrcAddress,
    ColDestAddress,
    ColSendData,
    ColRcvData,
    ColTotalData,
    ColSendPackets,
    ColRcvPackets,
    ColTotalPackets,
    ColDateTime,
    ColProto,
    ColumnCount
};

inline constexpr std::array<const char*, ColumnCount> kColumnHeadings = {
    "Src Address",  "Dest Address", "Send Data",     "Rcv Data",    "Total Data",
    "Send Packets", "Rcv Packets",  "Total Packets", "Date / Time", "Proto"};

// One traffic entry: an address pair and protocol with the traffic counted in each direction. A single
// captured datagram is also carried in this form (a "sample": one packet on the send side). An IPv4 entry
// holds its addresses in m_dwSrcAddress and m_dwDestAddress, an IPv6 one in m_src6 and m_dest6 (the other
// pair is zero). An overflow row (IpFamily::Other) has no addresses: both pairs are zero.
class CTrafficEntry {
public:
    Ipv4Address m_dwSrcAddress = 0;
    Ipv4Address m_dwDestAddress = 0;
    // Kept for compatibility with the product's entry key; the table is keyed by the family, the full
    // address pair and protocol, because different pairs can share one EntryId.
    std::uint32_t m_dwEntryId = 0;
    std::uint8_t m_nProto = 0;
    IpFamily m_family = IpFamily::Ipv4;
    std::uint64_t m_nSendData = 0;
    std::uint64_t m_nRcvData = 0;
    std::uint64_t m_nSendPackets = 0;
    std::uint64_t m_nRcvPackets = 0;
    // Seconds since the epoch of the last packet that changed this entry.
    std::int64_t m_tLastUpdate = 0;
    Ipv6Address m_src6{};
    Ipv6Address m_dest6{};

    [[nodiscard]] bool IsIpv6() const { return m_family == IpFamily::Ipv6; }
    [[nodiscard]] bool IsOverflow() const { return m_family == IpFamily::Other; }
    [[nodiscard]] IpAddress Source() const { return Address(m_dwSrcAddress, m_src6); }
    [[nodiscard]] IpAddress Destination() const { return Address(m_dwDestAddress, m_dest6); }

    // Stores the addresses and the protocol, computes the EntryId, stores and returns it.
    std::uint32_t MakeEntryId(Ipv4Address src, Ipv4Address dest, std::uint8_t proto);

    friend bool operator==(const CTrafficEntry&, const CTrafficEntry&) = default;

private:
    [[nodiscard]] IpAddress Address(Ipv4Address v4, const Ipv6Address& v6) const {
        if (IsIpv6()) {
            return IpAddress(v6);
        }
        IpAddress address(v4);
        address.m_family = m_family; // Other for an overflow row, which IpToText writes as "other"
        return address;
    }
};

// One datagram to fold: m_nPackets packets of m_nBytes bytes in all, sent from m_dwSrcAddress to
// m_dwDestAddress at m_tTime (seconds since the epoch). Every capture hands these to the fold; at 24 bytes
// they cross between the cores (and the capture helper's pipe) in fewer cache lines than samples in entry
// form (88). An IPv6 sample does not hold its addresses: m_dwSrcAddress is the index of its pair in the
// buffer's list of IPv6 address pairs (SampleBuffer), so that IPv4 samples keep their size and every
// sample keeps its place in the order of the capture.
struct PacketSample {
    Ipv4Address m_dwSrcAddress = 0;
    Ipv4Address m_dwDestAddress = 0;
    std::uint32_t m_nBytes = 0;
    std::uint8_t m_nProto = 0;
    IpFamily m_family = IpFamily::Ipv4;
    // 1, or the segments that a coalesced super-packet stands for. It fills padding after m_nProto, so the
    // sample keeps its size; 16 bits hold the segments of any datagram the kernel builds, and a larger
    // count is clamped to 65535 where it is made.
    std::uint16_t m_nPackets = 1;
    std::int64_t m_tTime = 0;

    friend bool operator==(const PacketSample&, const PacketSample&) = default;
};
static_assert(sizeof(PacketSample) == 24);

struct Ipv6Pair {
    Ipv6Address m_src{};
    Ipv6Address m_dest{};

    friend bool operator==(const Ipv6Pair&, const Ipv6Pair&) = default;
};

// Samples in the order of the capture, with the addresses of the IPv6 ones beside them.
struct SampleBuffer {
    std::vector<PacketSample> m_samples;
    std::vector<Ipv6Pair> m_v6;

    [[nodiscard]] std::size_t size() const { return m_samples.size(); }
    [[nodiscard]] bool empty() const { return m_samples.empty(); }
    void clear() {
        m_samples.clear();
        m_v6.clear();
    }
    void reserve(std::size_t n) { m_samples.reserve(n); }
    void push_back(const PacketSample& sample) { m_samples.push_back(sample); }
    // Appends an IPv6 sample; `sample`'s addresses are replaced by the index of `pair`.
    void PushIpv6(PacketSample sample, const Ipv6Pair& pair) {
        sample.m_family = IpFamily::Ipv6;
        sample.m_dwSrcAddress = static_cast<std::uint32_t>(m_v6.size());
        sample.m_dwDestAddress = 0;
        m_v6.push_back(pair);
        m_samples.push_back(sample);
    }
};

// The EntryId: each address's octets read as a little-endian integer (first octet least significant),
// XORed together and with the protocol. Symmetric in the two addresses.
std::uint32_t EntryId(Ipv4Address src, Ipv4Address dest, std::uint8_t proto);
// The same for IPv6: the addresses' 32-bit words XORed together and with the protocol.
std::uint32_t EntryId6(const Ipv6Address& src, const Ipv6Address& dest, std::uint8_t proto);

// "TCP", "UDP", "ICMP", "ICMPv6", or "Proto:N".
std::string ProtocolText(std::uint8_t proto);
// "%H:%M:%S %m/%d/%Y" in local time; empty when the time cannot be converted.
std::string DateTimeText(std::int64_t secondsSinceEpoch);
// The counter columns, from the bytes sent to the packets in total.
constexpr bool IsCounterColumn(int column) {
    return column >= ColSendData && column <= ColTotalPackets;
}
// The number a counter column holds (totals summed): what its cell shows, what the list sorts by and what
// the machine formats write. 0 for the other columns. Anything with the entry's counter names will do (the
// window's compact rows have them too).
template <class Counters> std::uint64_t CounterValue(const Counters& entry, int column) {
    switch (column) {
    case ColSendData:
        return entry.m_nSendData;
    case ColRcvData:
        return entry.m_nRcvData;
    case ColTotalData:
        return entry.m_nSendData + entry.m_nRcvData;
    case ColSendPackets:
        return entry.m_nSendPackets;
    case ColRcvPackets:
        return entry.m_nRcvPackets;
    case ColTotalPackets:
        return entry.m_nSendPackets + entry.m_nRcvPackets;
    default:
        return 0;
    }
}

} // namespace flowsentry
