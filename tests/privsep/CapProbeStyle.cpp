// SPDX-License-Identifier: GPL-3.0-or-later
// A harmless style plugin that stands in for code a local user could make a Qt program load through
// QT_PLUGIN_PATH. When loaded it writes the capability and uid lines of /proc/self/status to the file named
// by CAPPROBE_RECORD, so that a test sees what such code could do with the program's privileges. It makes
// no style: Qt then falls back to its default one.
#include <QStylePlugin>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Written to a temporary name and renamed, so that a waiting test never reads half a record.
void RecordPrivileges() {
    const char* target = std::getenv("CAPPROBE_RECORD");
    if (target == nullptr || *target == '\0') {
        return;
    }
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return;
    }
    const std::string partial = std::string(target) + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "w");
    if (out == nullptr) {
        std::fclose(status);
        return;
    }
    char line[512];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "Cap", 3) == 0 || std::strncmp(line, "Uid:", 4) == 0) {
            std::fputs(line, out);
        }
    }
    std::fclose(status);
    const bool written = std::fclose(out) == 0;
    if (written) {
        std::rename(partial.c_str(), target);
    }
}

// At load time, the earliest moment loaded code runs, before Qt asks the plugin for anything.
const bool g_bRecorded = (RecordPrivileges(), true);

} // namespace

class CapProbeStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "capprobe.json")

public:
    QStyle* create(const QString&) override { return nullptr; }
};

#include "CapProbeStyle.moc"
