// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/IpfixSink.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fixbuf/public.h>
#include <pthread.h>

namespace flowsentry {
namespace {

// The records as they stand in memory; the internal templates describe them, padding included, and the
// templates sent leave the padding out.
struct Ipv4Record {
    std::uint64_t m_nStartMs;
    std::uint64_t m_nEndMs;
    std::uint64_t m_nOctets;
    std::uint64_t m_nPackets;
    std::uint32_t m_dwSrc;
    std::uint32_t m_dwDest;
    std::uint8_t m_nProto;
    std::uint8_t m_nReason;
    std::uint8_t m_padding[6];
};
struct Ipv6Record {
    std::uint64_t m_nStartMs;
    std::uint64_t m_nEndMs;
    std::uint64_t m_nOctets;
    std::uint64_t m_nPackets;
    std::uint8_t m_src[16];
    std::uint8_t m_dest[16];
    std::uint8_t m_nProto;
    std::uint8_t m_nReason;
    std::uint8_t m_padding[6];
};
static_assert(sizeof(Ipv4Record) == 48 && sizeof(Ipv6Record) == 72);

constexpr std::uint32_t kInternalOnly = 1;
constexpr std::uint16_t kIpv4Template = 256; // the first id RFC 7011 leaves to data templates
constexpr std::uint16_t kIpv6Template = 257;

fbInfoElementSpec_t kIpv4Elements[] = {{const_cast<char*>("flowStartMilliseconds"), 8, 0},
                                       {const_cast<char*>("flowEndMilliseconds"), 8, 0},
                                       {const_cast<char*>("octetDeltaCount"), 8, 0},
                                       {const_cast<char*>("packetDeltaCount"), 8, 0},
                                       {const_cast<char*>("sourceIPv4Address"), 4, 0},
                                       {const_cast<char*>("destinationIPv4Address"), 4, 0},
                                       {const_cast<char*>("protocolIdentifier"), 1, 0},
                                       {const_cast<char*>("flowEndReason"), 1, 0},
                                       {const_cast<char*>("paddingOctets"), 6, kInternalOnly},
                                       FB_IESPEC_NULL};
fbInfoElementSpec_t kIpv6Elements[] = {{const_cast<char*>("flowStartMilliseconds"), 8, 0},
                                       {const_cast<char*>("flowEndMilliseconds"), 8, 0},
                                       {const_cast<char*>("octetDeltaCount"), 8, 0},
                                       {const_cast<char*>("packetDeltaCount"), 8, 0},
                                       {const_cast<char*>("sourceIPv6Address"), 16, 0},
                                       {const_cast<char*>("destinationIPv6Address"), 16, 0},
                                       {const_cast<char*>("protocolIdentifier"), 1, 0},
                                       {const_cast<char*>("flowEndReason"), 1, 0},
                                       {const_cast<char*>("paddingOctets"), 6, kInternalOnly},
                                       FB_IESPEC_NULL};

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr double kMaxBackoff = 60;

// A TCP collector that closed the connection would end the program with SIGPIPE on the next write, and
// libfixbuf writes without MSG_NOSIGNAL. SIGPIPE keeps its default for the rest of the program (standard
// output relies on it), so it is blocked around libfixbuf's writes only and one raised meanwhile is taken.
class CSigpipeGuard {
public:
    CSigpipeGuard() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    CSigpipeGuard(const CSigpipeGuard&) = delete;
    CSigpipeGuard& operator=(const CSigpipeGuard&) = delete;
    ~CSigpipeGuard() {
        if (sigismember(&m_old, SIGPIPE) == 0) {
            const timespec zero{0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &zero) == SIGPIPE) {
            }
            pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
        }
    }

private:
    sigset_t m_pipe{};
    sigset_t m_old{};
};

// Sends the message being filled: the one place libfixbuf writes to the collector.
bool EmitMessage(fBuf_t* buf, GError*& error) {
    const CSigpipeGuard guard;
    return fBufEmit(buf, &error) != 0;
}

// In manual mode libfixbuf answers "end of message" where a new message must be started first, also before
// the first one; the call is then made again in a fresh message.
template <class Call> bool InNewMessageIfFull(fBuf_t* buf, GError*& error, Call call) {
    if (call()) {
        return true;
    }
    if (!g_error_matches(error, FB_ERROR_DOMAIN, FB_ERROR_EOM)) {
        return false;
    }
    g_clear_error(&error);
    return fBufEmit(buf, &error) && call();
}

std::string TakeError(GError*& error) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

} // namespace

std::string IpfixTarget::Text() const {
    const bool v6 = m_strHost.find(':') != std::string::npos;
    return std::string(m_bTcp ? "tcp:" : "udp:") + (v6 ? "[" + m_strHost + "]" : m_strHost) + ":" + m_strPort;
}

std::optional<IpfixTarget> ParseIpfixTarget(std::string_view text) {
    IpfixTarget target;
    if (text.starts_with("tcp:")) {
        target.m_bTcp = true;
        text.remove_prefix(4);
    } else if (text.starts_with("udp:")) {
        text.remove_prefix(4);
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.starts_with('[') && host.ends_with(']')) {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt; // an IPv6 literal without brackets: where its port starts is a guess
    }
    unsigned long number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
        if (number > 65535) {
            return std::nullopt;
        }
    }
    if (host.empty() || port.empty() || number == 0) {
        return std::nullopt;
    }
    target.m_strHost = host;
    target.m_strPort = port;
    return target;
}

struct CIpfixSink::State {
    fbInfoModel_t* m_pModel = nullptr;
    fbSession_t* m_pSession = nullptr; // owned by m_pBuf once that exists
    fBuf_t* m_pBuf = nullptr;
    std::uint16_t m_nTemplate = 0; // the template the buffer is set to; 0 for none

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (m_pBuf != nullptr) {
            fBufFree(m_pBuf);
        } else if (m_pSession != nullptr) {
            fbSessionFree(m_pSession);
        }
        if (m_pModel != nullptr) {
            fbInfoModelFree(m_pModel);
        }
    }
};

CIpfixSink::CIpfixSink(IpfixSettings settings, std::function<void(const std::string&)> report)
    : m_settings(std::move(settings)), m_report(std::move(report)) {
    // libfixbuf logs without a domain of its own; nothing else in the program uses GLib's log.
    m_nLogHandler = g_log_set_handler(
        nullptr, static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
        [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer self) {
            OnLibraryWarning(domain, static_cast<int>(level), message, self);
        },
        this);
}

CIpfixSink::~CIpfixSink() {
    {
        const CSigpipeGuard guard;
        m_state.reset();
    }
    g_log_remove_handler(nullptr, m_nLogHandler);
}

void CIpfixSink::OnLibraryWarning(const char* /*domain*/, int /*level*/, const char* message, void* self) {
    auto* sink = static_cast<CIpfixSink*>(self);
    // A UDP send the collector refused: the records of that message are gone, and sending goes on.
    if (!sink->m_bReported) {
        sink->m_bReported = true;
        sink->m_report("cannot send flow records to " + sink->m_settings.m_target.Text() + ": " +
                       (message != nullptr ? message : "") +
                       " (sending goes on; what the collector missed is lost)");
    }
}

bool CIpfixSink::Open() {
    auto state = std::make_unique<State>();
    GError* error = nullptr;
    state->m_pModel = fbInfoModelAlloc();
    state->m_pSession = fbSessionAlloc(state->m_pModel);
    fbSessionSetDomain(state->m_pSession, m_settings.m_dwObservationDomain);
    for (const auto& [id, elements] :
         {std::pair{kIpv4Template, kIpv4Elements}, std::pair{kIpv6Template, kIpv6Elements}}) {
        for (const bool internal : {true, false}) {
            fbTemplate_t* tmpl = fbTemplateAlloc(state->m_pModel);
            if (!fbTemplateAppendSpecArray(tmpl, elements, internal ? UINT32_MAX : 0, &error) ||
                fbSessionAddTemplate(state->m_pSession, internal ? TRUE : FALSE, id, tmpl, &error) == 0) {
                fbTemplateFreeUnused(tmpl);
                Fail("cannot make the IPFIX templates: " + TakeError(error));
                return false;
            }
        }
    }
    fbConnSpec_t connection = FB_CONNSPEC_INIT;
    connection.transport = m_settings.m_target.m_bTcp ? FB_TCP : FB_UDP;
    connection.host = m_settings.m_target.m_strHost.data();
    connection.svc = m_settings.m_target.m_strPort.data();
    fbExporter_t* exporter = fbExporterAllocNet(&connection);
    state->m_pBuf = fBufAllocForExport(state->m_pSession, exporter);
    // Manual mode: a full message is emitted here, so that a failed send is known with the records it held.
    fBufSetAutomaticMode(state->m_pBuf, FALSE);
    const CSigpipeGuard guard;
    // libfixbuf connects at the first message: the templates go now, so that a collector that cannot be
    // reached shows before any record waits on it.
    fbSession_t* session = state->m_pSession;
    if (!InNewMessageIfFull(state->m_pBuf, error,
                            [&] { return fbSessionExportTemplates(session, &error) != FALSE; }) ||
        !fBufEmit(state->m_pBuf, &error)) {
        m_state = std::move(state); // freed by Fail with what it holds
        Fail(TakeError(error));
        return false;
    }
    m_state = std::move(state);
    m_dTemplatesSent = SteadySeconds();
    if (m_bReported && m_settings.m_target.m_bTcp) {
        m_report("sending flow records to " + m_settings.m_target.Text() + " again");
        m_bReported = false;
    }
    m_dBackoff = 1;
    return true;
}

void CIpfixSink::Fail(const std::string& what) {
    m_nLost += m_nInBuffer;
    m_nSent -= m_nInBuffer;
    m_nInBuffer = 0;
    {
        const CSigpipeGuard guard;
        m_state.reset();
    }
    m_dNextAttempt = SteadySeconds() + m_dBackoff;
    m_dBackoff = std::min(m_dBackoff * 2, kMaxBackoff);
    if (!m_bReported) {
        m_bReported = true;
        m_report("cannot send flow records to " + m_settings.m_target.Text() + ": " + what +
                 (m_settings.m_target.m_bTcp ? " (trying again; records are kept until then)"
                                             : " (sending goes on; what the collector missed is lost)"));
    }
}

bool CIpfixSink::Ready() {
    const double now = SteadySeconds();
    if (!m_state) {
        return now >= m_dNextAttempt && Open();
    }
    // Over TCP the templates hold for the whole connection; a UDP collector may have started since.
    if (!m_settings.m_target.m_bTcp && now - m_dTemplatesSent >= m_settings.m_dTemplateRefresh) {
        Flush();
        if (!m_state) {
            return false;
        }
        GError* error = nullptr;
        const CSigpipeGuard guard;
        fbSession_t* session = m_state->m_pSession;
        if (!InNewMessageIfFull(m_state->m_pBuf, error,
                                [&] { return fbSessionExportTemplates(session, &error) != FALSE; })) {
            Fail(TakeError(error));
            return false;
        }
        m_state->m_nTemplate = 0;
        m_dTemplatesSent = now;
    }
    return true;
}

void CIpfixSink::Write(const FlowRecord& record) {
    if (!m_state) {
        ++m_nLost;
        return;
    }
    Ipv4Record v4{};
    Ipv6Record v6{};
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint16_t id = 0;
    if (record.m_family == IpFamily::Ipv6) {
        v6 = {static_cast<std::uint64_t>(record.m_nStartMs),
              static_cast<std::uint64_t>(record.m_nEndMs),
              record.m_nOctets,
              record.m_nPackets,
              {},
              {},
              record.m_nProto,
              static_cast<std::uint8_t>(record.m_reason),
              {}};
        std::memcpy(v6.m_src, record.m_src6.data(), 16);
        std::memcpy(v6.m_dest, record.m_dest6.data(), 16);
        data = reinterpret_cast<std::uint8_t*>(&v6);
        size = sizeof(v6);
        id = kIpv6Template;
    } else {
        v4 = {static_cast<std::uint64_t>(record.m_nStartMs),
              static_cast<std::uint64_t>(record.m_nEndMs),
              record.m_nOctets,
              record.m_nPackets,
              record.m_dwSrcAddress,
              record.m_dwDestAddress,
              record.m_nProto,
              static_cast<std::uint8_t>(record.m_reason),
              {}};
        data = reinterpret_cast<std::uint8_t*>(&v4);
        size = sizeof(v4);
        id = kIpv4Template;
    }
    GError* error = nullptr;
    // Appending only fills the message in memory; the writes, and so the guard, are at the emits.
    if (m_state->m_nTemplate != id) {
        if (!fBufSetInternalTemplate(m_state->m_pBuf, id, &error) ||
            !fBufSetExportTemplate(m_state->m_pBuf, id, &error)) {
            ++m_nLost;
            Fail(TakeError(error));
            return;
        }
        m_state->m_nTemplate = id;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fBufAppend(m_state->m_pBuf, data, size, &error)) {
            ++m_nSent;
            ++m_nInBuffer;
            return;
        }
        if (attempt == 0 && g_error_matches(error, FB_ERROR_DOMAIN, FB_ERROR_EOM)) {
            g_clear_error(&error);
            // The message is full: send it, and the record starts the next one.
            if (!EmitMessage(m_state->m_pBuf, error)) {
                ++m_nLost;
                Fail(TakeError(error));
                return;
            }
            m_nInBuffer = 0;
            continue;
        }
        break;
    }
    ++m_nLost;
    Fail(TakeError(error));
}

void CIpfixSink::Flush() {
    if (!m_state) {
        return;
    }
    GError* error = nullptr;
    if (!EmitMessage(m_state->m_pBuf, error)) {
        Fail(TakeError(error));
        return;
    }
    m_nInBuffer = 0;
}

} // namespace flowsentry
