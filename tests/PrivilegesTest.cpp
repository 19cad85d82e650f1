#include "platform/Privileges.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace flowsentry {
namespace {

// The neighbourhood of CapEff in a real /proc/<pid>/status, so the parser must pick the right line.
std::string Status(const std::string& capEffLine) {
    return "Name:\tflowsentry\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t1000\t1000\t1000\t1000\n"
           "CapInh:\t0000000000000000\nCapPrm:\t0000000000003000\n" +
           capEffLine + "CapBnd:\t000001ffffffffff\nCapAmb:\t0000000000000000\nSeccomp:\t0\n";
}

TEST(ParseCapEff, ReadsTheEffectiveSetOnly) {
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"none", Status("CapEff:\t0000000000000000\n"), 0},
        {"raw and admin", Status("CapEff:\t0000000000003000\n"), 0x3000},
        {"full root set", Status("CapEff:\t000001ffffffffff\n"), 0x1ffffffffff},
        {"upper-case hex", Status("CapEff:\t00000000000030A0\n"), 0x30a0},
        {"spaces instead of a tab", Status("CapEff:   0000000000002000  \n"), 0x2000},
        {"last line without newline", "Name:\tx\nCapEff:\t0000000000001000", 0x1000},
        {"CRLF line end", "CapEff:\t0000000000003000\r\n", 0x3000},
        {"missing line", Status(""), std::nullopt},
        {"empty value", Status("CapEff:\t\n"), std::nullopt},
        {"not hexadecimal", Status("CapEff:\t00000000000030zz\n"), std::nullopt},
        {"more than 64 bits", Status("CapEff:\t1ffffffffffffffff\n"), std::nullopt},
        {"key only as part of another word", "NoCapEff:\t3000\n", std::nullopt},
        {"empty text", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ParseCapEff(c.text), c.expected);
    }
}

TEST(AssessCapturePrivileges, NeedsRootOrBothCapabilities) {
    struct Case {
        const char* name;
        unsigned uid;
        std::string status;
        bool bCanCapture;
        const char* missing;  // what the explanation must name as missing
    };
    const Case cases[] = {
        {"root without capabilities listed", 0, Status("CapEff:\t0000000000000000\n"), true, ""},
        {"root with unreadable status", 0, "", true, ""},
        {"user with both", 1000, Status("CapEff:\t0000000000003000\n"), true, ""},
        {"user with every capability", 1000, Status("CapEff:\t000001ffffffffff\n"), true, ""},
        {"user with none", 1000, Status("CapEff:\t0000000000000000\n"), false, "CAP_NET_RAW and CAP_NET_ADMIN"},
        {"user with raw only", 1000, Status("CapEff:\t0000000000002000\n"), false, "lacks CAP_NET_ADMIN."},
        {"user with admin only", 1000, Status("CapEff:\t0000000000001000\n"), false, "lacks CAP_NET_RAW."},
        // Permitted but not effective (a binary with =ep lacking the e) does not capture.
        {"user with permitted only", 1000, Status("CapEff:\t0000000000000000\n"), false, "CAP_NET_RAW"},
        {"user with unreadable status", 1000, "", false, "CAP_NET_RAW and CAP_NET_ADMIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CapturePrivileges result = AssessCapturePrivileges(c.uid, c.status, "/usr/bin/flowsentry");
        EXPECT_EQ(result.bCanCapture, c.bCanCapture);
        if (c.bCanCapture) {
            EXPECT_EQ(result.strExplanation, "");
        } else {
            EXPECT_NE(result.strExplanation.find(c.missing), std::string::npos) << result.strExplanation;
            EXPECT_NE(result.strExplanation.find("sudo setcap cap_net_raw,cap_net_admin=eip /usr/bin/flowsentry\n"),
                      std::string::npos)
                << result.strExplanation;
            EXPECT_NE(result.strExplanation.find("as root"), std::string::npos);
        }
    }
}

TEST(AssessCapturePrivileges, CommandQuotesAPathForTheShell) {
    const std::string noCaps = Status("CapEff:\t0000000000000000\n");
    struct Case {
        const char* path;
        const char* command;
    };
    const Case cases[] = {
        {"/opt/flow sentry/bin/flowsentry", "=eip '/opt/flow sentry/bin/flowsentry'\n"},
        {"/home/o'neil/flowsentry", "=eip '/home/o'\\''neil/flowsentry'\n"},
        {"/home/me/build-dev/cli/flowsentry-cli", "=eip /home/me/build-dev/cli/flowsentry-cli\n"},
        {"", "=eip <path of the program>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const CapturePrivileges result = AssessCapturePrivileges(1000, noCaps, c.path);
        EXPECT_NE(result.strExplanation.find(c.command), std::string::npos) << result.strExplanation;
    }
}

TEST(CheckCapturePrivileges, AgreesWithTheRunningProcess) {
    // Whatever this test runs as, the check must name this binary and agree with root-ness.
    const CapturePrivileges result = CheckCapturePrivileges();
    if (result.bCanCapture) {
        EXPECT_EQ(result.strExplanation, "");
    } else {
        EXPECT_NE(result.strExplanation.find("core_tests"), std::string::npos) << result.strExplanation;
    }
}

}  // namespace
}  // namespace flowsentry
