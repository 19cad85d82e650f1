// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "traffic/TrafficEntry.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>
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

// Save and Copy of the list as text, without holding up the window. The rows are first copied as they
// are at the command, a slice per turn of the event loop (the list holds still meanwhile, the capture does
// not); then a thread of its own renders the text and, for Save, writes the file. The text is the same
// bytes as ListToText. One job at a time; everything but the rendering and writing runs on the window
// thread.
class CListExport final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CListExport)

public:
    enum class Job { None, Save, Copy };
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

    // Ends the job without a result: no file is made or changed, the clipboard keeps what it had. A file
    // that is already being written is finished instead, since a write stopped half way would damage it.
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

    bool Start(Job job);
    void CopySlice();
    void StartWorker();
    void Render(std::vector<CTrafficEntry> rows);
    void OnWorkerDone(unsigned serial);
    void Finish(bool report);

    CFlowsentryView& m_view;
    QWidget* m_pMessageParent;
    Job m_job = Job::None;
    unsigned m_nSerial = 0; // tells a finished job's late news from the current job's
    std::size_t m_nSliceRows = static_cast<std::size_t>(-1);
    bool m_bHolding = false; // the view's rows are held for the snapshot
    std::string m_strPath;
    QClipboard* m_pClipboard = nullptr;
    std::vector<CTrafficEntry> m_snapshot; // top row first
    std::size_t m_nRows = 0;

    std::atomic<Phase> m_phase{Phase::Idle};
    std::atomic<std::size_t> m_nRowsDone{0};
    std::atomic<bool> m_bCancel{false};
    Result m_result;
    std::thread m_worker;
};

} // namespace flowsentry
