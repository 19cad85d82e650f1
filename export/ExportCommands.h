// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "export/RowWriter.h"
#include "traffic/TrafficEntry.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

class QClipboard;
class QWidget;

namespace flowsentry {

class CFlowsentryView;

// Asks for the name of the file to save to; an empty result means the user cancelled.
using SaveNameAsker = std::function<QString(QWidget* parent)>;

// Asks whether an existing file may be replaced; true means yes.
using ReplaceConfirmer = std::function<bool(QWidget* parent, const QString& path)>;

// The system's save dialog, with the one filter "Text Files (*.txt)". It asks itself before the name
// chosen in it replaces an existing file.
QString AskSaveFileName(QWidget* parent);

// The question the save dialog asks before a file is replaced, titled "Flowsentry"; No is the default.
bool ConfirmReplace(QWidget* parent, const QString& path);

// The first half of Save and Save As: asks for a name every time and adds ".txt" where the name has no
// extension. When adding ".txt" names an existing file that the dialog did not ask about, `confirm` asks.
// Returns the path to write, or nothing when the user cancelled or said no.
std::optional<std::string> ChooseSavePath(QWidget* parent, const SaveNameAsker& askName = AskSaveFileName,
                                          const ReplaceConfirmer& confirm = ConfirmReplace);

// What the export dialog answers: the name as given, the file type picked, and which rows to write.
struct ExportChoice {
    QString m_strPath;
    RowFormat m_type = RowFormat::Csv;
    bool m_bShownRows = false; // only the rows the filter shows, in the order shown; else every row
};
// Asks where to export to; `filtered` says whether a filter hides rows. Nothing when the user cancelled.
using ExportAsker = std::function<std::optional<ExportChoice>(QWidget* parent, bool filtered)>;

// The system's save dialog (Qt's own, which takes a widget of ours) with the file types "CSV Files (*.csv)"
// and "JSON Files (*.json)" and a choice of "All rows" or "Only the rows the filter shows" (offered only
// while a filter is on). It asks before the name as given replaces a file; the extension is
// ChooseExportTarget's to add.
std::optional<ExportChoice> AskExportFile(QWidget* parent, bool filtered);

struct ExportTarget {
    std::string m_strPath;
    RowFormat m_format = RowFormat::Csv;
    bool m_bShownRows = false;
};
// The first half of Export: asks, then picks the format and the name as ChooseExportName does; `confirm`
// asks when an added extension names an existing file that the dialog did not ask about.
std::optional<ExportTarget> ChooseExportTarget(QWidget* parent, bool filtered,
                                               const ExportAsker& ask = AskExportFile,
                                               const ReplaceConfirmer& confirm = ConfirmReplace);

// Save, Copy and Export of the list, without holding up the window. The rows are first copied as they
// are at the command, a slice per turn of the event loop (the list holds still meanwhile, the capture does
// not); then a thread of its own renders the text and, for Save and Export, writes the file. Save and Copy
// write the same bytes as ListToText; Export writes CSV or JSON through CRowWriter, with the rates the
// list shows, writing each piece as it is made. One job at a time; everything but the rendering and
// writing runs on the window thread.
class CListExport final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CListExport)

public:
    enum class Job { None, Save, Copy, Export };
    enum class Phase { Idle, Snapshot, Render, Write };
    struct Progress {
        Job m_job = Job::None;
        Phase m_phase = Phase::Idle;
        std::size_t m_nRowsDone = 0; // copied while taking the snapshot, rendered after it
        std::size_t m_nRows = 0;
    };

    // A failed save is reported in a message box over `messageParent`.
    CListExport(CFlowsentryView& view, QWidget* messageParent);
    // A running job is cancelled and its thread waited for; nothing is reported.
    ~CListExport() override;

    // Saves the list to `path` (as WriteFileReplacing does) or copies it to `clipboard`. False, with
    // nothing done, while another job runs.
    bool StartSave(const std::string& path);
    bool StartCopy(QClipboard& clipboard);
    // Exports the rows to `path` as Save does: every row, newest first, or only the rows the list shows,
    // in its order.
    bool StartExport(const ExportTarget& target);

    // Ends the job without a result: no file is made or changed, the clipboard keeps what it had. A file
    // that is already being written is finished instead, since a write stopped half way would damage it;
    // an export is written as it is rendered, so only its snapshot can be cancelled.
    void Cancel();
    // Cancel, and wait for the job's thread to end (Finished has been emitted on return).
    void CancelAndWait();

    [[nodiscard]] bool IsRunning() const { return m_job != Job::None; }
    [[nodiscard]] Progress CurrentProgress() const;

    // The longest a slice of the snapshot keeps the window thread, and at most how many rows it copies.
    static constexpr std::chrono::milliseconds kSliceTime{5};
    void SetSliceRows(std::size_t rows) { m_nSliceRows = rows; }

signals:
    // The job ended: true when the file was written or the clipboard set; false when it was cancelled or
    // failed (a failed save has been reported by then).
    void Finished(bool completed);

private:
    // What the worker hands back; read on the window thread only after joining it.
    struct Result {
        QByteArray m_text; // Copy's text
        std::string m_strError;
        bool m_bCancelled = false;
    };

    // The host names of Export's rows, taken with them while the list resolves names: each distinct name
    // once, and per row the indexes of its source's and destination's (0 for none).
    struct Names {
        bool m_bOn = false;
        std::vector<std::string> m_texts{std::string()};
        struct Hash {
            using is_transparent = void;
            std::size_t operator()(std::string_view text) const {
                return std::hash<std::string_view>{}(text);
            }
        };
        std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> m_index;
        std::vector<std::array<std::uint32_t, 2>> m_rows;
        std::uint32_t Intern(std::string_view name);
    };

    bool Start(Job job);
    void CopySlice();
    void StartWorker();
    void Render(std::vector<CTrafficEntry> rows, std::vector<RowRates> rates, Names names);
    void RenderText(std::vector<CTrafficEntry>& rows, Result& result);
    std::string WriteExport(const std::vector<CTrafficEntry>& rows, const std::vector<RowRates>& rates,
                            const Names& names);
    void OnWorkerDone(unsigned serial);
    Q_INVOKABLE void TakeWorkerDone();
    void Finish(bool report);

    CFlowsentryView& m_view;
    QWidget* m_pMessageParent;
    Job m_job = Job::None;
    unsigned m_nSerial = 0; // tells a finished job's late news from the current job's
    std::size_t m_nSliceRows = static_cast<std::size_t>(-1);
    bool m_bHolding = false; // the view's rows are held for the snapshot
    std::string m_strPath;
    RowFormat m_format = RowFormat::Csv;
    bool m_bShownRows = false;
    QClipboard* m_pClipboard = nullptr;
    std::vector<CTrafficEntry> m_snapshot; // top row first
    std::vector<RowRates> m_rates;         // Export's, beside m_snapshot
    bool m_bRates = false;                 // Export's rows carry rates (not a capture file's)
    Names m_names;                         // Export's, beside m_snapshot
    std::vector<std::uint32_t> m_serials;  // the rows shown at the command, when only those are exported
    std::size_t m_nRows = 0;

    std::atomic<Phase> m_phase{Phase::Idle};
    std::atomic<std::size_t> m_nRowsDone{0};
    std::atomic<bool> m_bCancel{false};
    Result m_result;
    std::thread m_worker;
    std::atomic<unsigned> m_nDoneSerial{0}; // the job whose worker finished last
};

} // namespace flowsentry
