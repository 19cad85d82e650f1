// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Privileges.h"

#include "platform/ProcessStatus.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace flowsentry {
namespace {

// The neighbourhood of CapEff in a real /proc/<pid>/status, so the parser must pick the right line.
std::string Status(const std::string& capEffLine) {
    return "Name:\tflowsentry\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t1000\t1000\t1000\t1000\n"
           "CapInh:\t0000000000000000\nCapPrm:\t0000000000003000\n" +
           capEffLine + "CapBnd:\t000001ffffffffff\nCapAmb:\t0000000000000000\nSeccomp:\t0\n";
}

TEST(StatusField, ReadsTheNamedLineOnly) {
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"between its neighbours", Status("CapEff:\t0000000000003000\n"), "0000000000003000"},
        {"spaces instead of a tab", Status("CapEff:   0000000000002000  \n"), "0000000000002000"},
        {"last line without newline", "Name:\tx\nCapEff:\t0000000000001000", "0000000000001000"},
        {"CRLF line end", "CapEff:\t0000000000003000\r\n", "0000000000003000"},
        {"empty value", Status("CapEff:\t\n"), ""},
        {"missing line", Status(""), std::nullopt},
        {"name only as part of another word", "NoCapEff:\t3000\n", std::nullopt},
        {"name without its colon", "CapEff\t3000\n", std::nullopt},
        {"empty text", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StatusField(c.text, "CapEff"), c.expected);
    }
    EXPECT_EQ(StatusField(Status(""), "Uid"), "1000\t1000\t1000\t1000");
    EXPECT_TRUE(ProcessStatusField("Umask").has_value()) << "this process's own status";
}

TEST(ParseFileCapabilities, ReadsEveryRevisionTheKernelWrites) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::optional<std::uint64_t> permitted; // nothing: the attribute must be refused
        bool effective;
    };
    const Case cases[] = {
        // What "setcap cap_net_raw=ep" writes.
        {"revision 2, raw, effective",
         {0x01, 0, 0, 0x02, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0x2000,
         true},
        {"revision 2, permitted only",
         {0x00, 0, 0, 0x02, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0x2000,
         false},
        {"revision 2, upper word",
         {0x01, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0},
         0x100000000,
         true},
        {"revision 3 with a root id",
         {0x01, 0, 0, 0x03, 0x00, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xe8, 0x03, 0, 0},
         0x3000,
         true},
        {"revision 1", {0x01, 0, 0, 0x01, 0x00, 0x20, 0, 0, 0, 0, 0, 0}, 0x2000, true},
        {"revision 2 cut short", {0x01, 0, 0, 0x02, 0x00, 0x20, 0, 0}, std::nullopt, false},
        {"unknown revision",
         {0x01, 0, 0, 0x04, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         false},
        {"unknown flag",
         {0x03, 0, 0, 0x02, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         false},
        {"empty", {}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = ParseFileCapabilities(c.bytes);
        ASSERT_EQ(parsed.has_value(), c.permitted.has_value());
        if (parsed) {
            EXPECT_EQ(parsed->m_nPermitted, *c.permitted);
            EXPECT_EQ(parsed->m_bEffective, c.effective);
            EXPECT_EQ(parsed->m_nInheritable, 0U);
        }
    }
}

// A member of the group, helper installed with its capability: the facts of a working installation.
HelperFacts Installed() {
    HelperFacts facts;
    facts.m_nEffectiveUid = 1000;
    facts.m_strUser = "alice";
    facts.m_strHelper = "/usr/libexec/flowsentry/flowsentry-capture";
    facts.m_bExists = true;
    facts.m_bExecutable = true;
    facts.m_capabilities = FileCapabilities{std::uint64_t{1} << kCapNetRaw, 0, true};
    facts.m_bGroupExists = true;
    facts.m_bUserInGroupList = true;
    facts.m_bProcessInGroup = true;
    return facts;
}

TEST(AssessCapturePrivileges, NamesWhatIsMissingAndTheFix) {
    struct Case {
        const char* name;
        void (*change)(HelperFacts&);
        bool bCanCapture;
        const char* says; // a piece of the explanation
    };
    const Case cases[] = {
        {"installed, member", [](HelperFacts&) {}, true, ""},
        {"root, helper without capability or group",
         [](HelperFacts& f) {
             f.m_nEffectiveUid = 0;
             f.m_bProcessInGroup = f.m_bUserInGroupList = false;
             f.m_capabilities.reset();
         },
         true, ""},
        {"not installed", [](HelperFacts& f) { f.m_bExists = f.m_bExecutable = false; }, false,
         "not installed: /usr/libexec/flowsentry/flowsentry-capture does not exist"},
        {"root, not installed",
         [](HelperFacts& f) {
             f.m_nEffectiveUid = 0;
             f.m_bExists = false;
         },
         false, "not installed"},
        {"not in the group",
         [](HelperFacts& f) { f.m_bExecutable = f.m_bUserInGroupList = f.m_bProcessInGroup = false; }, false,
         "the user alice is not a member.\n\nTo join the group, run:\n    sudo usermod -aG flowsentry "
         "alice\n"},
        {"joined, not logged in again", [](HelperFacts& f) { f.m_bExecutable = f.m_bProcessInGroup = false; },
         false, "Log out and in again"},
        {"member, helper mode wrong", [](HelperFacts& f) { f.m_bExecutable = false; }, false, "Reinstall"},
        {"capability lost after a rebuild", [](HelperFacts& f) { f.m_capabilities.reset(); }, false,
         "lacks the capability CAP_NET_RAW that capturing needs (rebuilding or copying the helper removes it)"
         ".\n\nGive it back with:\n    sudo setcap cap_net_raw=ep "
         "/usr/libexec/flowsentry/flowsentry-capture\n"},
        {"permitted but not effective", [](HelperFacts& f) { f.m_capabilities->m_bEffective = false; }, false,
         "sudo setcap cap_net_raw=ep"},
        {"another capability only",
         [](HelperFacts& f) { f.m_capabilities->m_nPermitted = std::uint64_t{1} << 12U; }, false,
         "CAP_NET_RAW"},
        {"nosuid file system", [](HelperFacts& f) { f.m_bNoSuidMount = true; }, false, "'nosuid'"},
        {"a path with a space and a quote",
         [](HelperFacts& f) {
             f.m_strHelper = "/opt/o'neil tools/flowsentry-capture";
             f.m_capabilities.reset();
         },
         false, "sudo setcap cap_net_raw=ep '/opt/o'\\''neil tools/flowsentry-capture'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HelperFacts facts = Installed();
        c.change(facts);
        const CapturePrivileges result = AssessCapturePrivileges(facts);
        EXPECT_EQ(result.bCanCapture, c.bCanCapture) << result.strExplanation;
        if (c.bCanCapture) {
            EXPECT_EQ(result.strExplanation, "");
        } else {
            EXPECT_NE(result.strExplanation.find(c.says), std::string::npos) << result.strExplanation;
        }
    }
}

TEST(CheckCapturePrivileges, FindsTheBuiltHelperAndAMissingOne) {
    // The tests run from the build tree, where the helper is built beside them.
    EXPECT_NE(CaptureHelperPath().find("/helper/flowsentry-capture"), std::string::npos)
        << CaptureHelperPath();
    const HelperFacts facts = GatherHelperFacts(CaptureHelperPath());
    EXPECT_TRUE(facts.m_bExists);
    EXPECT_EQ(facts.m_nEffectiveUid, static_cast<unsigned>(geteuid()));
    const CapturePrivileges missing = CheckCapturePrivilegesOf("/nonexistent/flowsentry-capture");
    EXPECT_FALSE(missing.bCanCapture);
    EXPECT_NE(missing.strExplanation.find("not installed"), std::string::npos);
}

} // namespace
} // namespace flowsentry
