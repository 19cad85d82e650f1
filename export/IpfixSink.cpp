// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/IpfixSink.h"

#include "platform/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fixbuf/public.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

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
// A TCP collector that has not answered the connection by then is tried again later.
constexpr double kConnectTimeout = 10;
// What TCP may hold unsent before the sink says it is not ready and the exporter keeps the records.
constexpr std::size_t kMaxQueued = 16U << 20U;
// The largest IPFIX message: its length field has 16 bits.
constexpr std::size_t kMaxMessage = 65535;
// UDP messages fill one packet of the route to the collector (so they are never fragmented), but are
// kept within a 9000-byte jumbo frame, the most collectors size their receive buffers for. Loopback's
// 64 KiB would cut the sends of a large export by six and lose records at a collector with a smaller
// buffer. Without the route's MTU, the IPv6 minimum, which any path carries.
constexpr std::size_t kJumboFrame = 9000;
constexpr std::size_t kMinimumMtu = 1280;

std::size_t UdpMessageSize(int fd, int family) {
    int mtu = 0;
    socklen_t length = sizeof(mtu);
    const bool v6 = family == AF_INET6;
    if (getsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_MTU : IP_MTU, &mtu, &length) != 0 ||
        mtu <= 0) {
        mtu = static_cast<int>(kMinimumMtu);
    }
    const std::size_t headers = (v6 ? 40 : 20) + 8;
    return std::min(static_cast<std::size_t>(mtu), kJumboFrame) - headers;
}

struct Endpoint {
    sockaddr_storage m_address{};
    socklen_t m_nLength = 0;
    int m_nFamily = AF_UNSPEC;
};
struct ResolvedAddress {
    std::vector<Endpoint> m_endpoints; // as the system orders them
    int m_nError = 0;                  // getaddrinfo's, with m_strError its text
    std::string m_strError;
};

ResolvedAddress Resolve(const IpfixTarget& target, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = target.m_bTcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    ResolvedAddress result;
    result.m_nError = getaddrinfo(target.m_strHost.c_str(), target.m_strPort.c_str(), &hints, &found);
    if (result.m_nError != 0) {
        result.m_strError =
            result.m_nError == EAI_SYSTEM ? SystemErrorText(errno) : gai_strerror(result.m_nError);
        return result;
    }
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        Endpoint endpoint;
        std::memcpy(&endpoint.m_address, item->ai_addr, item->ai_addrlen);
        endpoint.m_nLength = item->ai_addrlen;
        endpoint.m_nFamily = item->ai_family;
        result.m_endpoints.push_back(endpoint);
    }
    freeaddrinfo(found);
    return result;
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

// A send that never waits: how much the socket took (UDP: all or nothing), or -1 with errno.
ssize_t SendNow(int fd, const std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : n;
        }
    }
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

// A collector's name is looked up on a thread of its own, so that a slow name server holds up neither the
// window nor the capture. The thread shares this with the sink and may outlive it.
struct CIpfixSink::Lookup {
    std::mutex m_mutex;
    std::optional<ResolvedAddress> m_result;
};

struct CIpfixSink::State {
    fbInfoModel_t* m_pModel = nullptr;
    fbSession_t* m_pSession = nullptr; // owned by m_pBuf once that exists
    fBuf_t* m_pBuf = nullptr;
    fbExporter_t* m_pExporter = nullptr; // owned by m_pBuf
    std::uint16_t m_nTemplate = 0;       // the template the buffer is set to; 0 for none
    bool m_bFilled = false;              // the buffer holds something since the last emit
    int m_fd = -1;
    bool m_bTcp = false;
    bool m_bConnecting = false; // a TCP connection not answered yet
    double m_dConnectStarted = 0;
    // A TCP connection tries the collector's addresses in turn; UDP takes the first.
    std::vector<Endpoint> m_endpoints;
    std::size_t m_nEndpoint = 0;
    // libfixbuf encodes each message into this, and the socket is written from it.
    std::vector<std::uint8_t> m_message;
    // Messages the socket could not take yet, oldest first, with the records each holds; TCP may have
    // taken the first one's bytes up to m_nFirstSent.
    struct Message {
        std::vector<std::uint8_t> m_bytes;
        std::uint64_t m_nRecords = 0;
    };
    std::deque<Message> m_queue;
    std::size_t m_nFirstSent = 0;
    std::size_t m_nQueuedBytes = 0;
    std::uint64_t m_nQueuedRecords = 0;

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
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    [[nodiscard]] std::size_t Queued() const { return m_nQueuedBytes; }

    // A socket to m_endpoints[m_nEndpoint], connected or (TCP) connecting; 0 or the errno.
    int Connect() {
        if (m_fd >= 0) {
            close(m_fd);
        }
        const Endpoint& endpoint = m_endpoints[m_nEndpoint];
        m_fd =
            socket(endpoint.m_nFamily, (m_bTcp ? SOCK_STREAM | SOCK_NONBLOCK : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            return errno;
        }
        if (connect(m_fd, reinterpret_cast<const sockaddr*>(&endpoint.m_address), endpoint.m_nLength) == 0) {
            m_bConnecting = false;
            return 0;
        }
        m_bConnecting = m_bTcp && errno == EINPROGRESS;
        m_dConnectStarted = SteadySeconds();
        return m_bConnecting ? 0 : errno;
    }
};

CIpfixSink::CIpfixSink(IpfixSettings settings, std::function<void(const std::string&)> report)
    : m_settings(std::move(settings)), m_report(std::move(report)) {}

CIpfixSink::~CIpfixSink() {
    if (m_state && !m_state->m_bConnecting) {
        (void)Drain(1);
    }
}

void CIpfixSink::ReportOnce(const std::string& what) {
    if (!m_bReported) {
        m_bReported = true;
        m_report("cannot send flow records to " + m_settings.m_target.Text() + ": " + what +
                 (m_settings.m_target.m_bTcp ? " (trying again; records are kept until then)"
                                             : " (sending goes on; what the collector missed is lost)"));
    }
}

bool CIpfixSink::Open() {
    const bool tcp = m_settings.m_target.m_bTcp;
    ResolvedAddress address = Resolve(m_settings.m_target, AI_NUMERICHOST);
    if (address.m_nError == EAI_NONAME) {
        // A name: its answer is waited for at the next rounds.
        if (!m_pLookup) {
            m_pLookup = std::make_shared<Lookup>();
            auto lookUp = [lookup = m_pLookup, target = m_settings.m_target] {
                ResolvedAddress found = Resolve(target, 0);
                const std::lock_guard lock(lookup->m_mutex);
                lookup->m_result = std::move(found);
            };
            try {
                std::thread(lookUp).detach();
            } catch (const std::system_error&) {
                lookUp();
            }
        }
        {
            const std::lock_guard lock(m_pLookup->m_mutex);
            if (!m_pLookup->m_result) {
                return false;
            }
            address = std::move(*m_pLookup->m_result);
        }
        m_pLookup.reset();
    }
    if (address.m_nError != 0) {
        Fail(address.m_strError);
        return false;
    }
    auto state = std::make_unique<State>();
    state->m_bTcp = tcp;
    state->m_endpoints = std::move(address.m_endpoints);
    // Only a failure known at once is taken here; a TCP connection is looked at by Connected().
    int error = state->Connect();
    while (error != 0 && tcp && state->m_nEndpoint + 1 < state->m_endpoints.size()) {
        ++state->m_nEndpoint;
        error = state->Connect();
    }
    if (error != 0) {
        Fail(SystemErrorText(error));
        return false;
    }
    state->m_message.resize(tcp ? kMaxMessage : UdpMessageSize(state->m_fd, state->m_endpoints[0].m_nFamily));

    GError* failure = nullptr;
    state->m_pModel = fbInfoModelAlloc();
    state->m_pSession = fbSessionAlloc(state->m_pModel);
    fbSessionSetDomain(state->m_pSession, m_settings.m_dwObservationDomain);
    for (const auto& [id, elements] :
         {std::pair{kIpv4Template, kIpv4Elements}, std::pair{kIpv6Template, kIpv6Elements}}) {
        for (const bool internal : {true, false}) {
            fbTemplate_t* tmpl = fbTemplateAlloc(state->m_pModel);
            if (!fbTemplateAppendSpecArray(tmpl, elements, internal ? UINT32_MAX : 0, &failure) ||
                fbSessionAddTemplate(state->m_pSession, internal ? TRUE : FALSE, id, tmpl, &failure) == 0) {
                fbTemplateFreeUnused(tmpl);
                Fail("cannot make the IPFIX templates: " + TakeError(failure));
                return false;
            }
        }
    }
    state->m_pExporter =
        fbExporterAllocBuffer(state->m_message.data(), static_cast<std::uint16_t>(state->m_message.size()));
    state->m_pBuf = fBufAllocForExport(state->m_pSession, state->m_pExporter);
    // Manual mode: a full message is emitted here, so that each goes to the socket with the records it held.
    fBufSetAutomaticMode(state->m_pBuf, FALSE);
    m_state = std::move(state);
    return Connected();
}

// Once the connection is up: the templates first, and a collector that came back is said to be reached.
bool CIpfixSink::Connected() {
    if (m_state->m_bConnecting) {
        pollfd wanted{m_state->m_fd, POLLOUT, 0};
        if (poll(&wanted, 1, 0) == 0) {
            if (SteadySeconds() - m_state->m_dConnectStarted >= kConnectTimeout) {
                Fail(SystemErrorText(ETIMEDOUT));
            }
            return false;
        }
        int error = 0;
        socklen_t length = sizeof(error);
        if (getsockopt(m_state->m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error == 0) {
            m_state->m_bConnecting = false;
        } else {
            // Refused or unreachable there: the collector's next address, if it has one.
            while (error != 0 && m_state->m_nEndpoint + 1 < m_state->m_endpoints.size()) {
                ++m_state->m_nEndpoint;
                error = m_state->Connect();
            }
            if (error != 0) {
                Fail(SystemErrorText(error));
                return false;
            }
            if (m_state->m_bConnecting) {
                return false;
            }
        }
    }
    if (!SendTemplates()) {
        return false;
    }
    if (m_bReported && m_settings.m_target.m_bTcp) {
        m_report("sending flow records to " + m_settings.m_target.Text() + " again");
        m_bReported = false;
    }
    m_dBackoff = 1;
    return true;
}

bool CIpfixSink::SendTemplates() {
    GError* error = nullptr;
    fbSession_t* session = m_state->m_pSession;
    if (m_state->m_bFilled && !Emit()) {
        return false;
    }
    if (!InNewMessageIfFull(m_state->m_pBuf, error,
                            [&] { return fbSessionExportTemplates(session, &error) != FALSE; })) {
        Fail("cannot make the IPFIX templates: " + TakeError(error));
        return false;
    }
    m_state->m_bFilled = true;
    m_state->m_nTemplate = 0;
    m_dTemplatesSent = SteadySeconds();
    return Emit();
}

// The message being filled goes to the socket; false when the sink failed meanwhile.
bool CIpfixSink::Emit() {
    GError* error = nullptr;
    if (!fBufEmit(m_state->m_pBuf, &error)) {
        Fail("cannot make an IPFIX message: " + TakeError(error));
        return false;
    }
    const std::uint64_t records = m_nInBuffer;
    m_nInBuffer = 0;
    m_state->m_bFilled = false;
    Send(m_state->m_message.data(), fbExporterGetMsgLen(m_state->m_pExporter), records);
    return m_state != nullptr;
}

void CIpfixSink::Send(const std::uint8_t* data, std::size_t size, std::uint64_t records) {
    State& state = *m_state;
    std::size_t sent = 0;
    if (state.m_queue.empty()) {
        const ssize_t n = SendNow(state.m_fd, data, size);
        if (n < 0) {
            Refused(records);
            return;
        }
        sent = static_cast<std::size_t>(n);
    }
    if (sent < size) {
        // The socket is full (a slow link or collector): the message waits, so that nothing here blocks.
        state.m_queue.push_back({std::vector<std::uint8_t>(data + sent, data + size), records});
        state.m_nQueuedBytes += size - sent;
        state.m_nQueuedRecords += records;
    }
}

// A message the socket refused: over UDP (nobody listens) its records are lost and sending goes on; over
// TCP the connection is gone.
void CIpfixSink::Refused(std::uint64_t records) {
    const std::string why = SystemErrorText(errno);
    m_nSent -= records;
    m_nLost += records;
    if (m_state->m_bTcp) {
        Fail(why);
    } else {
        ReportOnce(why);
    }
}

bool CIpfixSink::Pump() {
    State& state = *m_state;
    while (!state.m_queue.empty()) {
        State::Message& first = state.m_queue.front();
        const ssize_t n = SendNow(state.m_fd, first.m_bytes.data() + state.m_nFirstSent,
                                  first.m_bytes.size() - state.m_nFirstSent);
        if (n == 0) {
            return true;
        }
        if (n > 0) {
            state.m_nFirstSent += static_cast<std::size_t>(n);
            state.m_nQueuedBytes -= static_cast<std::size_t>(n);
            if (state.m_nFirstSent < first.m_bytes.size()) {
                continue;
            }
        }
        const std::uint64_t records = first.m_nRecords;
        state.m_nQueuedRecords -= records;
        if (n < 0) {
            state.m_nQueuedBytes -= first.m_bytes.size() - state.m_nFirstSent;
        }
        state.m_queue.pop_front();
        state.m_nFirstSent = 0;
        if (n < 0) {
            Refused(records);
            if (!m_state) {
                return false;
            }
        }
    }
    return true;
}

void CIpfixSink::Fail(const std::string& what) {
    if (m_state) {
        const std::uint64_t unsent = m_nInBuffer + m_state->m_nQueuedRecords;
        m_nLost += unsent;
        m_nSent -= unsent;
    }
    m_nInBuffer = 0;
    m_state.reset();
    m_dNextAttempt = SteadySeconds() + m_dBackoff;
    m_dBackoff = std::min(m_dBackoff * 2, kMaxBackoff);
    ReportOnce(what);
}

bool CIpfixSink::Ready() {
    const double now = SteadySeconds();
    if (!m_state) {
        return now >= m_dNextAttempt && Open();
    }
    if (m_state->m_bConnecting) {
        return Connected();
    }
    if (!Pump() || m_state->Queued() > kMaxQueued) {
        return false;
    }
    // Over TCP the templates hold for the whole connection; a UDP collector may have started since.
    if (!m_settings.m_target.m_bTcp && now - m_dTemplatesSent >= m_settings.m_dTemplateRefresh) {
        return SendTemplates();
    }
    return true;
}

bool CIpfixSink::Drain(double seconds) {
    const double deadline = SteadySeconds() + seconds;
    for (;;) {
        // A name being looked up is waited for; after a failure, the next attempt is not.
        if (!m_state && (m_pLookup || SteadySeconds() >= m_dNextAttempt)) {
            (void)Open();
        }
        if (!m_state && !m_pLookup) {
            return false;
        }
        if (m_state) {
            const bool going = m_state->m_bConnecting ? Connected() : Pump();
            if (!m_state) {
                return false;
            }
            if (going && !m_state->m_bConnecting && m_state->Queued() == 0) {
                return true;
            }
        }
        const double left = deadline - SteadySeconds();
        if (left <= 0) {
            return false;
        }
        if (m_state) {
            pollfd wanted{m_state->m_fd, POLLOUT, 0};
            (void)poll(&wanted, 1, static_cast<int>(std::min(left, 1.0) * 1000) + 1);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void CIpfixSink::Write(const FlowRecord& record) {
    if (!m_state || m_state->m_bConnecting) {
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
    if (m_state->m_nTemplate != id) {
        if (!fBufSetInternalTemplate(m_state->m_pBuf, id, &error) ||
            !fBufSetExportTemplate(m_state->m_pBuf, id, &error)) {
            ++m_nLost;
            Fail("cannot make an IPFIX message: " + TakeError(error));
            return;
        }
        m_state->m_nTemplate = id;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fBufAppend(m_state->m_pBuf, data, size, &error)) {
            ++m_nSent;
            ++m_nInBuffer;
            m_state->m_bFilled = true;
            return;
        }
        if (attempt == 0 && g_error_matches(error, FB_ERROR_DOMAIN, FB_ERROR_EOM)) {
            g_clear_error(&error);
            // The message is full: it goes out, and the record starts the next one.
            if (!Emit()) {
                ++m_nLost;
                return;
            }
            continue;
        }
        break;
    }
    ++m_nLost;
    Fail("cannot make an IPFIX message: " + TakeError(error));
}

void CIpfixSink::Flush() {
    if (m_state && !m_state->m_bConnecting && m_state->m_bFilled && Emit()) {
        (void)Pump();
    }
}

} // namespace flowsentry
