// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QChartView>
#include <QPointer>
#include <cstdint>
#include <deque>
#include <vector>

class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

namespace flowsentry {

class CTrafficModel;

// The pane under the list: the send and receive rates of the whole capture over the last five minutes, one
// point per second of the capture's clock, and beside them those of the selected rows. It reads what the
// list shows, so it pauses with the list and empties with it.
class CTrafficChart final : public QChartView {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTrafficChart)

public:
    static constexpr int kSeconds = 300;

    explicit CTrafficChart(const CTrafficModel& model, QWidget* parent = nullptr);

    // Takes a point for each second the capture's clock has passed since the last call (the rates of the
    // list as they are now) with the selected rows' rates; to be called after each refresh of the list.
    void Update(const std::vector<std::size_t>& selectedSerials);
    // Forgets every point, as the list does on Start and Stop.
    void Clear();

    struct Point {
        std::int64_t m_tSecond = 0;
        double m_dSend = 0;
        double m_dRcv = 0;
        double m_dSelectedSend = 0;
        double m_dSelectedRcv = 0;
        bool m_bSelection = false;
    };
    [[nodiscard]] const std::deque<Point>& Points() const { return m_points; }

private:
    void Redraw();

    const CTrafficModel& m_model;
    std::deque<Point> m_points; // the last kSeconds seconds, oldest first
    QLineSeries* m_pSend = nullptr;
    QLineSeries* m_pRcv = nullptr;
    QLineSeries* m_pSelectedSend = nullptr;
    QLineSeries* m_pSelectedRcv = nullptr;
    QDateTimeAxis* m_pTime = nullptr;
    QValueAxis* m_pRate = nullptr;
};

} // namespace flowsentry
