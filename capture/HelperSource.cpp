// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/HelperSource.h"

#include "platform/Privileges.h"
#include "platform/SystemError.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace flowsentry {

namespace {

// The pipe holds this much when the parent falls behind for a moment (Linux lets any user ask for 1 MiB).
constexpr int kPipeBytes = 1 << 20;
constexpr std::size_t kReadBytes = 256 * 1024;
// How long a helper that was asked to stop may take before it is killed.
constexpr auto kStopGrace = std::chrono::milliseconds(1000);

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

// The advice of the privilege check, when it finds something missing; else the plain text.
std::string WithPrivilegeAdvice(const std::string& helper, const std::string& text) {
    const CapturePrivileges privileges = CheckCapturePrivilegesOf(helper);
    if (privileges.bCanCapture) {
        return text;
    }
    return text + ".\n\n" + privileges.strExplanation;
}

} // namespace

CHelperSource::CHelperSource(std::string address) : CHelperSource(std::move(address), CaptureHelperPath()) {}

CHelperSource::CHelperSource(std::string address, std::string helperPath)
    : m_strAddress(std::move(address)), m_strHelper(std::move(helperPath)),
      m_nWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CHelperSource::~CHelperSource() {
    Close();
    if (m_nWake >= 0) {
        close(m_nWake);
    }
}

std::string CHelperSource::Describe() const {
    return m_strInterface.empty() ? m_strAddress : m_strInterface + " (" + m_strAddress + ")";
}

pid_t CHelperSource::HelperPid() const {
    const std::lock_guard lock(m_pidMutex);
    return m_nPid;
}

std::optional<std::uint64_t> CHelperSource::KernelDrops() {
    if (!m_stats) {
        return std::nullopt;
    }
    return m_stats->m_nKernelDrops;
}

void CHelperSource::Fail(std::string text) {
    SetError(std::move(text));
}

// Called on the capture thread, which lives until the helper has been collected: the helper's
// PR_SET_PDEATHSIG fires when the thread that started it ends, not the process.
bool CHelperSource::StartHelper() {
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        Fail("cannot make a pipe for the capture helper: " + SystemErrorText(errno));
        return false;
    }
    (void)fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes); // a smaller pipe still works

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The helper starts with no signal blocked (the CLI blocks its stop signals in every thread) and with
    // the default actions; it sets up its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string option = "--address";
    std::array<char*, 4> argv = {m_strHelper.data(), option.data(), m_strAddress.data(), nullptr};
    // Nothing of our environment reaches the helper: no variable can make it load code.
    std::array<char*, 1> environment = {nullptr};
    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, m_strHelper.c_str(), &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (result != 0) {
        close(fds[0]);
        Fail(WithPrivilegeAdvice(m_strHelper, "cannot start the capture helper " + m_strHelper + ": " +
                                                  SystemErrorText(result)));
        return false;
    }
    m_nPipe = fds[0];
    {
        const std::lock_guard lock(m_pidMutex);
        m_nPid = pid;
    }
    // A stop that came while the helper was being started did not reach it.
    if (m_bBreak) {
        kill(pid, SIGTERM);
    }
    return true;
}

CHelperSource::Fill CHelperSource::FillFromPipe(int timeoutMs) {
    std::array<pollfd, 2> fds = {pollfd{m_nPipe, POLLIN, 0}, pollfd{m_nWake, POLLIN, 0}};
    const int ready = poll(fds.data(), m_nWake >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) {
            return Fill::Data;
        }
        Fail("cannot wait for the capture helper: " + SystemErrorText(errno));
        return Fill::Failed;
    }
    if (ready == 0 || m_bBreak) {
        return Fill::Interrupted;
    }
    const std::span<std::uint8_t> space = m_reader.Space(kReadBytes);
    const ssize_t n = read(m_nPipe, space.data(), std::min(space.size(), kReadBytes));
    if (n > 0) {
        m_reader.Commit(static_cast<std::size_t>(n));
        return Fill::Data;
    }
    if (n == 0) {
        return Fill::End;
    }
    if (errno == EINTR || errno == EAGAIN) {
        return Fill::Data;
    }
    Fail("cannot read from the capture helper: " + SystemErrorText(errno));
    return Fill::Failed;
}

void CHelperSource::EndHelper(bool bKill) {
    pid_t pid = -1;
    {
        const std::lock_guard lock(m_pidMutex);
        pid = m_nPid;
    }
    if (pid < 0) {
        return;
    }
    kill(pid, bKill ? SIGKILL : SIGTERM);
    bool killed = bKill;
    auto deadline = Clock::now() + kStopGrace;
    // Read what the helper still writes, for its last statistics, until it closes the pipe.
    std::array<std::uint8_t, 64 * 1024> scratch{};
    bool parsing = !bKill;
    while (m_nPipe >= 0) {
        pollfd fd{m_nPipe, POLLIN, 0};
        const int ready = poll(&fd, 1, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            if (killed) {
                break;
            }
            kill(pid, SIGKILL);
            killed = true;
            deadline = Clock::now() + kStopGrace;
            continue;
        }
        ssize_t n = 0;
        if (parsing) {
            const std::span<std::uint8_t> space = m_reader.Space(kReadBytes);
            n = read(m_nPipe, space.data(), std::min(space.size(), kReadBytes));
            if (n > 0) {
                m_reader.Commit(static_cast<std::size_t>(n));
                StreamRecord record;
                CSampleStreamReader::Status status = CSampleStreamReader::Status::Record;
                while ((status = m_reader.Next(record)) == CSampleStreamReader::Status::Record) {
                    if (record.m_type == StreamRecordType::Stats) {
                        m_stats = record.m_stats;
                    }
                }
                parsing = status != CSampleStreamReader::Status::Broken;
            }
        } else {
            n = read(m_nPipe, scratch.data(), scratch.size());
        }
        if (n == 0 || (n < 0 && errno != EINTR)) {
            break;
        }
    }
    // The helper has closed its end (or been killed): collect it. One that closed the pipe but lingers is
    // killed after the grace time.
    int status = 0;
    deadline = Clock::now() + kStopGrace;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (killed) {
            (void)waitpid(pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    const std::lock_guard lock(m_pidMutex);
    m_nExitStatus = status;
    m_nPid = -1;
}

std::string CHelperSource::ExitText() {
    if (WIFSIGNALED(m_nExitStatus)) {
        const int signal = WTERMSIG(m_nExitStatus);
        const char* name = sigabbrev_np(signal);
        return "it was killed by signal " + std::to_string(signal) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : "");
    }
    return "it exited with status " + std::to_string(WEXITSTATUS(m_nExitStatus));
}

bool CHelperSource::Open() {
    if (!StartHelper()) {
        return false;
    }
    while (true) {
        switch (m_reader.Next(m_record)) {
        case CSampleStreamReader::Status::Record:
            if (m_record.m_type == StreamRecordType::Ready) {
                m_strInterface = m_record.m_strInterface;
                return true;
            }
            if (m_record.m_type == StreamRecordType::Error) {
                const StreamRecord failure = m_record;
                EndHelper(false);
                Fail(failure.m_errorKind == StreamErrorKind::Permission
                         ? WithPrivilegeAdvice(m_strHelper, failure.m_strText)
                         : failure.m_strText);
                return false;
            }
            if (m_record.m_type == StreamRecordType::Stats) {
                m_stats = m_record.m_stats;
                break;
            }
            EndHelper(true);
            Fail("the capture helper sent samples before it had opened the capture");
            return false;
        case CSampleStreamReader::Status::Broken:
            EndHelper(true);
            Fail("the capture helper sent data that Flowsentry does not understand: " + m_reader.ErrorText());
            return false;
        case CSampleStreamReader::Status::NeedMore:
            switch (FillFromPipe(-1)) {
            case Fill::Data:
                break;
            case Fill::Interrupted:
                EndHelper(false);
                Fail("the capture was stopped while it opened");
                return false;
            case Fill::End:
                EndHelper(false);
                Fail("the capture helper ended before it opened the capture (" + ExitText() + ")");
                return false;
            case Fill::Failed:
                EndHelper(true);
                return false;
            }
            break;
        }
    }
}

ReadStatus CHelperSource::ReadSamples(int maxFrames, SampleBuffer& samples, CaptureCounters& counters) {
    const auto applyStats = [&] {
        if (m_stats) {
            counters.m_nFrames = m_stats->m_nFrames;
            counters.m_nNotIp = m_stats->m_nNotIp;
            counters.m_nTooShort = m_stats->m_nTooShort;
        }
    };
    if (m_nPipe < 0) {
        Fail("the capture is not open");
        return ReadStatus::Failed;
    }
    std::uint32_t taken = 0;
    const auto wanted = static_cast<std::uint32_t>(std::max(maxFrames, 1));
    while (true) {
        if (m_bBreak) {
            EndHelper(false);
            applyStats();
            return ReadStatus::Interrupted;
        }
        const bool ipv6 = m_record.m_type == StreamRecordType::Samples6;
        if ((m_record.m_type == StreamRecordType::Samples || ipv6) &&
            m_nNextSample < m_record.m_nSampleCount) {
            const std::uint32_t n = std::min(m_record.m_nSampleCount - m_nNextSample, wanted - taken);
            const std::size_t wireBytes = ipv6 ? kWireSample6Bytes : kWireSampleBytes;
            const std::uint8_t* at = m_record.m_samples.data() + std::size_t{m_nNextSample} * wireBytes;
            if (ipv6) {
                for (std::uint32_t i = 0; i < n; ++i, at += wireBytes) {
                    AppendWireSample6(at, samples);
                }
            } else {
                std::vector<PacketSample>& out = samples.m_samples;
                const std::size_t first = out.size();
                out.resize(first + n);
                for (std::uint32_t i = 0; i < n; ++i, at += wireBytes) {
                    DecodeWireSample(at, out[first + i]);
                }
            }
            m_nNextSample += n;
            taken += n;
            if (taken == wanted) {
                applyStats();
                return ReadStatus::Frames;
            }
            continue;
        }
        // The record is used up: without this, a wait for more bytes would leave it to be delivered again.
        m_record.m_nSampleCount = 0;
        m_nNextSample = 0;
        switch (m_reader.Next(m_record)) {
        case CSampleStreamReader::Status::Record:
            if (m_record.m_type == StreamRecordType::Stats) {
                m_stats = m_record.m_stats;
            } else if (m_record.m_type == StreamRecordType::Error) {
                const std::string text = m_record.m_strText;
                EndHelper(false);
                applyStats();
                Fail(text);
                return ReadStatus::Failed;
            } else if (m_record.m_type == StreamRecordType::Link) {
                // Handed over at once, so that the sniffer sees every change, not only the last of several.
                m_link = m_record.m_linkState;
                applyStats();
                return ReadStatus::Frames;
            } else if (m_record.m_type == StreamRecordType::Ready) {
                EndHelper(true);
                Fail("the capture helper sent data that Flowsentry does not understand: a second ready "
                     "record");
                return ReadStatus::Failed;
            }
            break;
        case CSampleStreamReader::Status::Broken:
            EndHelper(true);
            Fail("the capture helper sent data that Flowsentry does not understand: " + m_reader.ErrorText());
            return ReadStatus::Failed;
        case CSampleStreamReader::Status::NeedMore:
            // Hand over what there is before waiting for more.
            if (taken > 0) {
                applyStats();
                return ReadStatus::Frames;
            }
            switch (FillFromPipe(-1)) {
            case Fill::Data:
                break;
            case Fill::Interrupted:
                EndHelper(false);
                applyStats();
                return ReadStatus::Interrupted;
            case Fill::End: {
                const bool cut = m_reader.Pending() != 0;
                EndHelper(false);
                applyStats();
                Fail(std::string("the capture helper ended unexpectedly") +
                     (cut ? " in the middle of a record" : "") + " (" + ExitText() + ")");
                return ReadStatus::Failed;
            }
            case Fill::Failed:
                EndHelper(true);
                return ReadStatus::Failed;
            }
            break;
        }
    }
}

void CHelperSource::BreakLoop() {
    m_bBreak = true;
    if (m_nWake >= 0) {
        const std::uint64_t one = 1;
        (void)!write(m_nWake, &one, sizeof one);
    }
    const std::lock_guard lock(m_pidMutex);
    if (m_nPid > 0) {
        kill(m_nPid, SIGTERM);
    }
}

void CHelperSource::Close() {
    EndHelper(false);
    if (m_nPipe >= 0) {
        close(m_nPipe);
        m_nPipe = -1;
    }
}

} // namespace flowsentry
