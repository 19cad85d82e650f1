// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ExportCommands.h"

#include "export/ListToText.h"
#include "export/TextFile.h"
#include "platform/SystemError.h"
#include "view/FlowsentryView.h"
#include "view/MessageBox.h"

#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <malloc.h>
#include <system_error>
#include <utility>

namespace flowsentry {
namespace {

using Clock = std::chrono::steady_clock;

// Rows copied between two looks at the clock while taking the snapshot (a few microseconds), and rows
// rendered between two looks at the cancel flag (about a millisecond).
constexpr std::size_t kRowsPerClockRead = 1024;
constexpr std::size_t kRowsPerPiece = 4096;
// A row of text is 50 to 70 bytes. Reserving what most lists need at once places a large text in memory of
// its own, which goes back to the system when it is freed; grown a piece at a time, it would pass through the
// worker's heap, which keeps what it once held.
constexpr std::size_t kRowBytes = 72;

const QString kCsvType = QStringLiteral("CSV Files (*.csv)");
const QString kJsonType = QStringLiteral("JSON Files (*.json)");

// The dialog asked about the name as given; a name with an extension added is another file, which may
// exist: asked here. False when the user said no.
bool MayReplace(QWidget* parent, const std::string& chosen, const std::string& path,
                const ReplaceConfirmer& confirm) {
    if (path == chosen) {
        return true;
    }
    const QFileInfo target(QString::fromStdString(path));
    return !(target.exists() || target.isSymLink()) || target.isDir() ||
           confirm(parent, QString::fromStdString(path));
}

} // namespace

QString AskSaveFileName(QWidget* parent) {
    // The dialog asks before an existing file is replaced.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), QStringLiteral("Text Files (*.txt)"));
}

bool ConfirmReplace(QWidget* parent, const QString& path) {
    // The words and buttons of the dialog's own question, so that both cases read the same.
    const QString text =
        QFileDialog::tr("%1 already exists.\nDo you want to replace it?").arg(QFileInfo(path).fileName());
    return QMessageBox::question(parent, QStringLiteral("Flowsentry"), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

std::optional<std::string> ChooseSavePath(QWidget* parent, const SaveNameAsker& askName,
                                          const ReplaceConfirmer& confirm) {
    const QString chosen = askName(parent);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    std::string path = WithTextExtension(chosen.toStdString());
    if (!MayReplace(parent, chosen.toStdString(), path, confirm)) {
        return std::nullopt;
    }
    return path;
}

std::optional<ExportChoice> AskExportFile(QWidget* parent, bool filtered) {
    // Qt's own dialog rather than the desktop's, which would not show the choice of rows.
    QFileDialog dialog(parent, QStringLiteral("Export"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // No default suffix: the dialog would not follow a type chosen by a program, so the extension is added
    // afterwards, as Save adds ".txt".
    dialog.setNameFilters({kCsvType, kJsonType});
    auto* rows = new QWidget(&dialog);
    auto* layout = new QHBoxLayout(rows);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* all = new QRadioButton(QStringLiteral("&All rows"), rows);
    auto* shown = new QRadioButton(QStringLiteral("Only the rows the &filter shows"), rows);
    all->setChecked(true);
    shown->setEnabled(filtered);
    layout->addWidget(all);
    layout->addWidget(shown);
    layout->addStretch();
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        const int row = grid->rowCount();
        grid->addWidget(new QLabel(QStringLiteral("Rows:"), &dialog), row, 0);
        grid->addWidget(rows, row, 1, 1, grid->columnCount() - 1);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return ExportChoice{dialog.selectedFiles().constFirst(),
                        dialog.selectedNameFilter() == kJsonType ? RowFormat::Json : RowFormat::Csv,
                        shown->isChecked()};
}

std::optional<ExportTarget> ChooseExportTarget(QWidget* parent, bool filtered, const ExportAsker& ask,
                                               const ReplaceConfirmer& confirm) {
    const std::optional<ExportChoice> choice = ask(parent, filtered);
    if (!choice || choice->m_strPath.isEmpty()) {
        return std::nullopt;
    }
    const std::string chosen = choice->m_strPath.toStdString();
    ExportName name = ChooseExportName(chosen, choice->m_type);
    if (!MayReplace(parent, chosen, name.m_strPath, confirm)) {
        return std::nullopt;
    }
    return ExportTarget{std::move(name.m_strPath), name.m_format, choice->m_bShownRows && filtered};
}

CListExport::CListExport(CFlowsentryView& view, QWidget* messageParent)
    : m_view(view), m_pMessageParent(messageParent) {}

CListExport::~CListExport() {
    m_bCancel = true;
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (m_bHolding) {
        m_view.ReleaseRows();
    }
}

bool CListExport::StartSave(const std::string& path) {
    if (IsRunning()) {
        return false;
    }
    m_strPath = path;
    return Start(Job::Save);
}

bool CListExport::StartCopy(QClipboard& clipboard) {
    if (IsRunning()) {
        return false;
    }
    m_pClipboard = &clipboard;
    return Start(Job::Copy);
}

bool CListExport::StartExport(const ExportTarget& target) {
    if (IsRunning()) {
        return false;
    }
    m_strPath = target.m_strPath;
    m_format = target.m_format;
    m_bShownRows = target.m_bShownRows;
    return Start(Job::Export);
}

bool CListExport::Start(Job job) {
    m_job = job;
    ++m_nSerial;
    m_bCancel = false;
    m_nRowsDone = 0;
    m_result = Result();
    if (job != Job::Export) {
        m_bShownRows = false;
    }
    // A capture file's rows have no rates: it was read far faster than its packets came.
    m_bRates = job == Job::Export && m_view.FileName().isEmpty();
    m_names = Names();
    m_names.m_bOn = job == Job::Export && m_view.ResolvesNames() && m_view.Names() != nullptr;
    const CTrafficModel& model = m_view.Model();
    m_nRows = m_bShownRows ? static_cast<std::size_t>(model.rowCount()) : model.Rows().RowCount();
    m_phase = Phase::Snapshot;
    try {
        m_snapshot.reserve(m_nRows);
        if (m_bRates) {
            m_rates.reserve(m_nRows);
        }
        if (m_names.m_bOn) {
            m_names.m_rows.reserve(m_nRows);
        }
        // The order shown is taken at once (a few milliseconds for a million rows): the filter or the
        // sort may change while the rows are copied.
        if (m_bShownRows) {
            m_serials.reserve(m_nRows);
            for (std::size_t row = 0; row < m_nRows; ++row) {
                m_serials.push_back(static_cast<std::uint32_t>(model.SerialAt(static_cast<int>(row))));
            }
        }
    } catch (const std::bad_alloc&) {
        m_result.m_strError = SystemErrorText(ENOMEM);
        Finish(true);
        return true;
    }
    m_view.HoldRows();
    m_bHolding = true;
    // The first slice at once: the text is the list as it is at the command.
    CopySlice();
    return true;
}

// The rows cannot be rendered where they are: the window thread changes them at every refresh. Copying
// them is cheap, but at two million rows it still takes some tens of milliseconds, so it is spread over
// several turns of the event loop, during which the list is held still.
std::uint32_t CListExport::Names::Intern(std::string_view name) {
    if (name.empty()) {
        return 0;
    }
    if (const auto found = m_index.find(name); found != m_index.end()) {
        return found->second;
    }
    const auto index = static_cast<std::uint32_t>(m_texts.size());
    m_texts.emplace_back(name);
    m_index.emplace(m_texts.back(), index);
    return index;
}

void CListExport::CopySlice() {
    const CRowStore& rows = m_view.Model().Rows();
    Q_ASSERT(m_bShownRows || rows.RowCount() == m_nRows);
    const bool rates = m_bRates;
    const std::size_t end =
        m_nRows - m_snapshot.size() > m_nSliceRows ? m_snapshot.size() + m_nSliceRows : m_nRows;
    const auto deadline = Clock::now() + kSliceTime;
    while (m_snapshot.size() < end) {
        const std::size_t stop = std::min(end, m_snapshot.size() + kRowsPerClockRead);
        for (std::size_t row = m_snapshot.size(); row < stop; ++row) {
            const std::size_t serial = m_bShownRows ? m_serials[row] : rows.SerialOf(row);
            m_snapshot.push_back(rows.Entry(serial));
            if (rates) {
                m_rates.push_back(rows.RatesOf(serial));
            }
            if (m_names.m_bOn) {
                const CTrafficEntry& entry = m_snapshot.back();
                const CNameCache& cache = m_view.Names()->Cache();
                m_names.m_rows.push_back(entry.IsOverflow()
                                             ? std::array<std::uint32_t, 2>{}
                                             : std::array{m_names.Intern(cache.NameOf(entry.Source())),
                                                          m_names.Intern(cache.NameOf(entry.Destination()))});
            }
        }
        if (Clock::now() >= deadline) {
            break;
        }
    }
    m_nRowsDone = m_snapshot.size();
    if (m_snapshot.size() < m_nRows) {
        QTimer::singleShot(0, this, [this, serial = m_nSerial] {
            if (serial == m_nSerial && m_phase == Phase::Snapshot) {
                CopySlice();
            }
        });
        return;
    }
    m_serials = {};
    m_bHolding = false;
    m_view.ReleaseRows();
    StartWorker();
}

void CListExport::StartWorker() {
    m_phase = Phase::Render;
    m_nRowsDone = 0;
    try {
        m_worker = std::thread([this, rows = std::move(m_snapshot), rates = std::move(m_rates),
                                names = std::move(m_names), serial = m_nSerial]() mutable {
            Render(std::move(rows), std::move(rates), std::move(names));
            // By name, with the serial in an atomic of ours: Qt's handover of a functor is invisible to
            // ThreadSanitizer.
            m_nDoneSerial = serial;
            QMetaObject::invokeMethod(this, "TakeWorkerDone", Qt::QueuedConnection);
        });
    } catch (const std::system_error& error) {
        m_result.m_strError = SystemErrorText(error.code().value());
        Finish(true);
    }
    m_snapshot = {};
    m_rates = {};
}

// On the worker thread: touches only the rows it was given, the path, the atomics and m_result.
void CListExport::Render(std::vector<CTrafficEntry> rows, std::vector<RowRates> rates, Names names) {
    Result result;
    try {
        if (m_job == Job::Export) {
            result.m_strError = WriteExport(rows, rates, names);
        } else {
            RenderText(rows, result);
        }
    } catch (const std::bad_alloc&) {
        result.m_strError = SystemErrorText(ENOMEM);
    }
    std::vector<CTrafficEntry>().swap(rows);
    std::vector<RowRates>().swap(rates);
    names = Names();
    m_result = std::move(result);
    // The large buffers were mapped and are gone already, but the heap keeps what the pieces and the cell
    // texts freed; hand it back rather than leave the process bigger after every export.
    malloc_trim(0);
}

// Save's and Copy's text, whole before it is written: it is the clipboard's, and Save's file is a fraction of
// the size of an export.
void CListExport::RenderText(std::vector<CTrafficEntry>& rows, Result& result) {
    QByteArray text;
    text.reserve(static_cast<qsizetype>(rows.size() * kRowBytes));
    std::string piece;
    CCellWriter cells;
    for (std::size_t row = 0; row < rows.size();) {
        if (m_bCancel.load(std::memory_order_relaxed)) {
            result.m_bCancelled = true;
            break;
        }
        const std::size_t end = std::min(rows.size(), row + kRowsPerPiece);
        piece.clear();
        for (; row < end; ++row) {
            AppendRowAsText(cells, rows[row], piece);
        }
        text.append(piece.data(), static_cast<qsizetype>(piece.size()));
        m_nRowsDone.store(row, std::memory_order_relaxed);
    }
    std::vector<CTrafficEntry>().swap(rows);
    result.m_bCancelled = result.m_bCancelled || m_bCancel.load();
    if (!result.m_bCancelled && m_job == Job::Save) {
        // From here on the job cannot be cancelled: a file written in place would be left short.
        m_phase = Phase::Write;
        result.m_strError = WriteFileReplacing(
            m_strPath, std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    } else if (!result.m_bCancelled) {
        text.squeeze();
        result.m_text = std::move(text);
    }
}

// An export is written while it is rendered, a piece at a time: as JSON a million rows are some hundreds of
// megabytes, which need not stand in memory beside the rows. It is written from the start, so it is not
// cancelled.
std::string CListExport::WriteExport(const std::vector<CTrafficEntry>& rows,
                                     const std::vector<RowRates>& rates, const Names& names) {
    m_phase = Phase::Write;
    std::size_t row = 0;
    RowWriterOptions options;
    options.m_format = m_format;
    options.m_bRates = m_bRates;
    if (names.m_bOn) {
        options.m_names = [&names, &row](const CTrafficEntry&, bool source) -> std::string_view {
            return names.m_texts[names.m_rows[row][source ? 0 : 1]];
        };
    }
    CRowWriter writer(std::move(options));
    std::string piece;
    bool begun = false;
    bool ended = false;
    return WriteFileReplacing(m_strPath, [&](std::string_view& bytes) {
        if (ended) {
            return false;
        }
        piece.clear();
        if (!begun) {
            writer.Begin(piece);
            begun = true;
        }
        const std::size_t end = std::min(rows.size(), row + kRowsPerPiece);
        for (; row < end; ++row) {
            writer.Row(piece, rows[row], m_bRates ? rates[row] : RowRates{});
        }
        m_nRowsDone.store(row, std::memory_order_relaxed);
        if (row == rows.size()) {
            writer.End(piece);
            ended = true;
        }
        bytes = piece;
        return true;
    });
}

void CListExport::TakeWorkerDone() {
    OnWorkerDone(m_nDoneSerial.load());
}

void CListExport::OnWorkerDone(unsigned serial) {
    if (serial != m_nSerial || !m_worker.joinable()) {
        return; // CancelAndWait has collected this job already
    }
    m_worker.join();
    Finish(true);
}

void CListExport::Cancel() {
    if (m_phase == Phase::Snapshot) {
        // Nothing has left the window thread yet.
        m_result.m_bCancelled = true;
        Finish(false);
        return;
    }
    m_bCancel = true;
}

void CListExport::CancelAndWait() {
    Cancel();
    if (m_worker.joinable()) {
        m_worker.join();
        Finish(true);
    }
}

void CListExport::Finish(bool report) {
    const Job job = std::exchange(m_job, Job::None);
    const Result result = std::exchange(m_result, Result());
    // A Cancel that came while the finished text was on its way is still honoured: the clipboard is
    // untouched. A file written by then stays written.
    const bool cancelled = result.m_bCancelled || (job == Job::Copy && m_bCancel.load());
    m_phase = Phase::Idle;
    m_snapshot = {};
    m_rates = {};
    m_names = Names();
    m_serials = {};
    if (m_bHolding) {
        m_bHolding = false;
        m_view.ReleaseRows();
    }
    const bool failed = !result.m_strError.empty();
    const bool completed = !failed && !cancelled;
    if (completed && job == Job::Copy) {
        // The text as bytes: the clipboard holds one byte a character rather than a QString's two, and
        // serves other programs without converting it. The cells are ASCII, so these are the file's bytes.
        auto* data = new QMimeData;
        data->setData(QStringLiteral("text/plain"), result.m_text);
        m_pClipboard->setMimeData(data);
    }
    m_pClipboard = nullptr;
    emit Finished(completed);
    if (failed && report) {
        const QString what = job == Job::Save     ? QStringLiteral("The table could not be saved.\n\n%1")
                             : job == Job::Export ? QStringLiteral("The table could not be exported.\n\n%1")
                                                  : QStringLiteral("The table could not be copied.\n\n%1");
        ShowWarning(m_pMessageParent, what.arg(QString::fromStdString(result.m_strError)));
    }
}

CListExport::Progress CListExport::CurrentProgress() const {
    return Progress{m_job, m_phase.load(), m_nRowsDone.load(std::memory_order_relaxed), m_nRows};
}

} // namespace flowsentry
