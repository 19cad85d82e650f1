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

// Sends flow records to an IPFIX collector through libfixbuf, with one template for IPv4 records and one
// for IPv6. Templates go first, and over UDP again every m_dTemplateRefresh seconds (a collector started
// later learns them). A collector that cannot be reached is reported once through `report`; over UDP
// sending goes on (what was lost is lost, as with any UDP exporter), over TCP the sink is not Ready() and
// tries to connect again after 1, 2, 4 ... up to 60 seconds, while the exporter keeps the records.
class CIpfixSink final : public IFlowSink {
public:
    CIpfixSink(IpfixSettings settings, std::function<void(const std::string&)> report);
    CIpfixSink(const CIpfixSink&) = delete;
    CIpfixSink& operator=(const CIpfixSink&) = delete;
    ~CIpfixSink() override;

    bool Ready() override;
    void Write(const FlowRecord& record) override;
    void Flush() override;

    // Records handed to libfixbuf, and those of messages that could not be sent.
    [[nodiscard]] std::uint64_t RecordsSent() const { return m_nSent; }
    [[nodiscard]] std::uint64_t RecordsLost() const { return m_nLost; }

private:
    struct State;
    bool Open();
    // libfixbuf tells of a UDP send the collector refused only as a GLib warning.
    static void OnLibraryWarning(const char* domain, int level, const char* message, void* self);
    void Fail(const std::string& what);

    IpfixSettings m_settings;
    std::function<void(const std::string&)> m_report;
    std::unique_ptr<State> m_state; // null while not connected
    double m_dNextAttempt = 0;      // steady seconds
    double m_dBackoff = 1;
    double m_dTemplatesSent = 0;
    bool m_bReported = false;
    std::uint64_t m_nSent = 0;
    std::uint64_t m_nLost = 0;
    std::uint64_t m_nInBuffer = 0; // records appended since the last message went out
    unsigned m_nLogHandler = 0;
};

} // namespace flowsentry
