// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "export/FlowExporter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace flowsentry {

// A collector's address as --ipfix takes it: HOST:PORT, udp:HOST:PORT or tcp:HOST:PORT; an IPv6 literal
// in brackets ([::1]:4739).
struct IpfixTarget {
    bool m_bTcp = false;
    std::string m_strHost;
    std::string m_strPort;

    [[nodiscard]] std::string Text() const;
};
// Empty when the text is not of that form.
std::optional<IpfixTarget> ParseIpfixTarget(std::string_view text);

struct IpfixSettings {
    IpfixTarget m_target;
    std::uint32_t m_dwObservationDomain = 0;
    double m_dTemplateRefresh = 600; // seconds between the templates sent again over UDP
};

// Sends flow records to an IPFIX collector, encoded by libfixbuf and written to a socket of our own, with one
// template for IPv4 records and one for IPv6. Templates go first, and over UDP again every
// m_dTemplateRefresh seconds (a collector started later learns them).
//
// Nothing here waits on the collector, so the window can send from its own thread: a host name is looked up
// on a thread, a TCP connection is made without blocking and looked at by Ready(), and a message the socket
// cannot take at once (a slow link or collector) is kept and written as the socket drains. A collector that
// cannot be reached is reported once through `report`; over UDP sending goes on (what was lost is lost, as
// with any UDP exporter), over TCP the sink is not Ready() and tries to connect again after 1, 2, 4 ... up to
// 60 seconds, while the exporter keeps the records.
class CIpfixSink final : public IFlowSink {
public:
    CIpfixSink(IpfixSettings settings, std::function<void(const std::string&)> report);
    CIpfixSink(const CIpfixSink&) = delete;
    CIpfixSink& operator=(const CIpfixSink&) = delete;
    // Gives what TCP still holds a moment to go out.
    ~CIpfixSink() override;

    bool Ready() override;
    void Write(const FlowRecord& record) override;
    void Flush() override;
    // Waits, for `seconds` at most, until the collector is reached (its name looked up, a TCP connection
    // made) and everything written has gone to the socket; true then. A collector that failed is not tried
    // again before its time. The end of the CLI waits here, where the window never does.
    bool Drain(double seconds);

    // Records handed to the socket (or still queued for it), and those of messages that could not be sent.
    [[nodiscard]] std::uint64_t RecordsSent() const { return m_nSent; }
    [[nodiscard]] std::uint64_t RecordsLost() const { return m_nLost; }

private:
    struct State;
    struct Lookup;
    bool Open();
    bool Connected();
    bool SendTemplates();
    bool Emit();
    void Send(const std::uint8_t* data, std::size_t size, std::uint64_t records);
    void Refused(std::uint64_t records);
    // Writes the queued messages as far as the socket takes them now; false when the connection failed.
    bool Pump();
    void Fail(const std::string& what);
    void ReportOnce(const std::string& what);

    IpfixSettings m_settings;
    std::function<void(const std::string&)> m_report;
    std::unique_ptr<State> m_state;    // null while not connected
    std::shared_ptr<Lookup> m_pLookup; // the collector's name being looked up
    double m_dNextAttempt = 0;         // steady seconds
    double m_dBackoff = 1;
    double m_dTemplatesSent = 0;
    bool m_bReported = false;
    std::uint64_t m_nSent = 0;
    std::uint64_t m_nLost = 0;
    std::uint64_t m_nInBuffer = 0; // records appended since the last message went out
};

} // namespace flowsentry
