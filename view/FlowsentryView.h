// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/Sniffer.h"
#include "traffic/TrafficTable.h"
#include "view/ColumnWidths.h"
#include "view/NameService.h"
#include "view/TrafficModel.h"

#include <QTableView>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace flowsentry {

// The traffic list that fills the main window: one row per traffic entry, newest at the top. The view owns
// the traffic table that the capture fills, and pulls the table's changes on a timer on the window
// thread, so the capture never waits for the window and the window never waits for more than a short lock.
// The timer runs only while a capture runs (and until its last changes are shown): an idle window sleeps.
class CFlowsentryView final : public QTableView {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFlowsentryView)

public:
    static constexpr std::chrono::milliseconds kRefreshInterval{250};

    explicit CFlowsentryView(QWidget* parent = nullptr);
    ~CFlowsentryView() override;

    // Lays out the columns. Called again when a document is created or opened: the layout, the rows and a
    // running capture are then left as they are, so that nothing is inserted twice and no capture is lost.
    void OnInitialUpdate();

    // Starts the sniffer's capture on its chosen address and pulls the table's changes while it runs.
    // False when it cannot start; the sniffer's error text says why.
    bool StartCapture();

    // Reads a capture file into the table on the sniffer's thread, as a capture, and shows its rows as they
    // come; `local` orients them (without it, each row by its first datagram). Call with the list emptied.
    // False when no thread could start; the sniffer's error text says why.
    bool ReadFile(const QString& path, std::optional<IpAddress> local);
    // The name of the capture file whose rows the list shows; empty for a live capture or none. Kept after
    // the read ends, until the list is emptied.
    [[nodiscard]] const QString& FileName() const { return m_strFileName; }

    // Runs the refresh timer until what the table holds now is shown and its highlight has faded: for rows
    // that come without a capture (a file, a test).
    void RefreshSoon();

    [[nodiscard]] CTrafficTable& Table() { return m_table; }
    [[nodiscard]] const CTrafficModel& Model() const { return m_model; }
    [[nodiscard]] CTrafficModel& Model() { return m_model; }
    [[nodiscard]] CSniffer& Sniffer() { return m_sniffer; }

    // Empties the list and the table, so that counting starts again from zero. What the table changed since
    // the last refresh goes to the batch observer first, as its last batch. The list shows no file then.
    void ClearTraffic();

    // Also hands every batch the list pulls to `observer` (the flow export), with the clock, before the list
    // applies it; `last` when the table is about to be emptied or the window closes.
    // The batch is shared, so that the observer may keep it while the list applies it.
    using BatchObserver =
        std::function<void(const std::shared_ptr<const TrafficBatch>& batch, std::int64_t now, bool last)>;
    void SetBatchObserver(BatchObserver observer) { m_batchObserver = std::move(observer); }
    // Gives the observer what is left, as its last batch.
    void FinishObserver();

    // While the rows are held, Refresh leaves the table's changes in the table, so that the list's rows stay
    // exactly as they are (Save and Copy copy them a slice at a time); the capture keeps counting into the
    // table meanwhile. The last release brings the list up to date at once. Holds nest.
    void HoldRows();
    void ReleaseRows();
    [[nodiscard]] bool RowsHeld() const { return m_nRowHolds > 0; }

    // While paused the rows stop moving and changing; the capture counts on underneath, and resuming shows
    // where it is at once.
    void SetPaused(bool paused);
    [[nodiscard]] bool Paused() const { return m_bPaused; }

    // View > Resolve Names: the address cells show host names once known. The resolver starts the first
    // time names are turned on; turned off, numbers show again at once and the names known are kept.
    // The addresses asked are those of each row that comes into the list, and those on the screen at each
    // refresh (so a name that expired, or was pushed out of the queue, is asked again when seen).
    void SetResolveNames(bool on);
    [[nodiscard]] bool ResolvesNames() const { return m_bResolveNames; }
    // Null until names are first turned on.
    [[nodiscard]] CNameService* Names() { return m_pNames.get(); }
    // Tests put in a resolver of their own; used when names are first turned on.
    void SetResolverFactory(CNameService::ResolverFactory factory) { m_resolverFactory = std::move(factory); }

    // Sorting by the headings: a click sorts by the column, a second click reverses, a third returns to
    // the default order (newest first). Counters, rates and times sort largest first on the first click.
    void ClickHeading(int column);
    // Sorts by a column (CRowOrder::kDefaultOrder: newest first) and shows it in the heading.
    void SortBy(int column, bool descending);

signals:
    // The display was paused or resumed (P on the list, or SetPaused).
    void PausedChanged(bool paused);
    // A capture ended by itself, on a failure (the text says what happened in the system's words) or at
    // the end of a capture file (empty text). Emitted once per capture, on the window thread.
    void CaptureEnded(const QString& errorText);
    // After every refresh tick, for the status bar.
    void Refreshed();
    // The captured interface's link went down or came up again (Sniffer().Link() says which); on the window
    // thread.
    void LinkChanged();

public slots:
    // Applies the table's changes since the previous refresh. Called by the timer, which stops once no
    // capture runs and nothing is left to show; callable directly.
    void Refresh();

private slots:
    // The capture thread's news, queued to the window thread by name: see the constructor.
    void TakeCaptureEnd();
    void TakeLinkChange();

protected:
    bool viewportEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ApplyColumnWidths(const ColumnWidthArray& widths);
    void TakeColors();
    // Widens the address columns to a full IPv6 address once the batch brings the first IPv6 row.
    void WidenForIpv6(const TrafficBatch& batch);
    void SetFileName(const QString& name);
    // Asks for the names of the batch's new rows, then of the rows on the screen (asked first).
    void WantNames(const TrafficBatch& batch);
    // Hands the names that came to the list (repaint, re-filter).
    void ApplyNames();

    CTrafficTable m_table;
    // Declared after m_table, so that it is destroyed (and its thread stopped) before the table it writes
    // into.
    CSniffer m_sniffer;
    CTrafficModel m_model;
    QTimer m_refreshTimer;
    bool m_bLaidOut = false;
    int m_nAddressWidth = 0; // the least width of an address column: 0 until IPv6 rows are shown
    int m_nRowHolds = 0;
    bool m_bRefreshHeld = false; // a refresh came while the rows were held
    bool m_bPaused = false;
    BatchObserver m_batchObserver;
    QString m_strFileName;
    bool m_bResolveNames = false;
    CNameService::ResolverFactory m_resolverFactory;
    std::unique_ptr<CNameService> m_pNames;
    std::vector<IpAddress> m_namesLater; // names that came while the rows were paused or held
    std::mutex m_newsMutex;
    std::deque<QString> m_endTexts; // under m_newsMutex: one per capture that ended, oldest first
};

} // namespace flowsentry
