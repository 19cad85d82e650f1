// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/TrafficChart.h"

#include "view/TrafficModel.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>
#include <algorithm>
#include <array>

namespace flowsentry {
namespace {

// The unit the axis counts in: the largest power of 1000 below the highest rate shown.
std::pair<double, const char*> AxisUnit(double highest) {
    static constexpr std::array<const char*, 4> kUnits = {"B/s", "KB/s", "MB/s", "GB/s"};
    double scale = 1;
    std::size_t unit = 0;
    while (unit + 1 < kUnits.size() && highest >= scale * 1000) {
        scale *= 1000;
        ++unit;
    }
    return {scale, kUnits[unit]};
}

} // namespace

// Made with its chart: a chart view made without one makes a chart of its own, which a later setChart
// lets go of without deleting.
CTrafficChart::CTrafficChart(const CTrafficModel& model, QWidget* parent)
    : QChartView(new QChart(), parent), m_model(model) {
    QChart* chart = this->chart();
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignRight);
    const auto makeSeries = [chart](const QString& name, const QColor& color, Qt::PenStyle style) {
        auto* series = new QLineSeries(chart);
        series->setName(name);
        series->setPen(QPen(color, 1.5, style));
        chart->addSeries(series);
        return series;
    };
    m_pSend = makeSeries(QStringLiteral("Sent"), QColor(0x20, 0x60, 0xc0), Qt::SolidLine);
    m_pRcv = makeSeries(QStringLiteral("Received"), QColor(0x20, 0xa0, 0x40), Qt::SolidLine);
    m_pSelectedSend = makeSeries(QStringLiteral("Selected, sent"), QColor(0x20, 0x60, 0xc0), Qt::DashLine);
    m_pSelectedRcv = makeSeries(QStringLiteral("Selected, received"), QColor(0x20, 0xa0, 0x40), Qt::DashLine);
    m_pTime = new QDateTimeAxis(chart);
    m_pTime->setFormat(QStringLiteral("HH:mm:ss"));
    m_pTime->setTickCount(6);
    m_pRate = new QValueAxis(chart);
    m_pRate->setLabelFormat(QStringLiteral("%.1f"));
    m_pRate->setTickCount(3);
    chart->addAxis(m_pTime, Qt::AlignBottom);
    chart->addAxis(m_pRate, Qt::AlignLeft);
    for (QLineSeries* series : {m_pSend, m_pRcv, m_pSelectedSend, m_pSelectedRcv}) {
        series->attachAxis(m_pTime);
        series->attachAxis(m_pRate);
    }
    setRenderHint(QPainter::Antialiasing, false);
    setMinimumHeight(160);
    Redraw();
}

void CTrafficChart::Update(const std::vector<std::size_t>& selectedSerials) {
    const CRowStore& rows = m_model.Rows();
    const std::int64_t now = rows.Now();
    if (now == CRowStore::kUnknownTime || (!m_points.empty() && now - 1 <= m_points.back().m_tSecond)) {
        return;
    }
    // The window covers the whole seconds before now: its rate belongs to the last of them.
    const RowRates total = rows.TotalRates();
    Point point{now - 1, total.m_dSend, total.m_dRcv, 0, 0, !selectedSerials.empty()};
    for (const std::size_t serial : selectedSerials) {
        if (serial < rows.RowCount()) {
            const RowRates rates = rows.RatesOf(serial);
            point.m_dSelectedSend += rates.m_dSend;
            point.m_dSelectedRcv += rates.m_dRcv;
        }
    }
    // Seconds the clock jumped over (a pause, a quiet capture) are left out rather than made up.
    m_points.push_back(point);
    while (!m_points.empty() && m_points.front().m_tSecond <= point.m_tSecond - kSeconds) {
        m_points.pop_front();
    }
    Redraw();
}

void CTrafficChart::Clear() {
    m_points.clear();
    Redraw();
}

void CTrafficChart::Redraw() {
    double highest = 0;
    for (const Point& p : m_points) {
        highest = std::max({highest, p.m_dSend, p.m_dRcv, p.m_dSelectedSend, p.m_dSelectedRcv});
    }
    const auto [scale, unit] = AxisUnit(highest);
    QList<QPointF> send;
    QList<QPointF> rcv;
    QList<QPointF> selectedSend;
    QList<QPointF> selectedRcv;
    for (const Point& p : m_points) {
        const auto x = static_cast<qreal>(p.m_tSecond) * 1000;
        send.append({x, p.m_dSend / scale});
        rcv.append({x, p.m_dRcv / scale});
        if (p.m_bSelection) {
            selectedSend.append({x, p.m_dSelectedSend / scale});
            selectedRcv.append({x, p.m_dSelectedRcv / scale});
        }
    }
    m_pSend->replace(send);
    m_pRcv->replace(rcv);
    m_pSelectedSend->replace(selectedSend);
    m_pSelectedRcv->replace(selectedRcv);
    // The selection's lines and their legend entries only while rows are selected.
    for (QLineSeries* series : {m_pSelectedSend, m_pSelectedRcv}) {
        series->setVisible(!selectedSend.isEmpty());
        for (QLegendMarker* marker : chart()->legend()->markers(series)) {
            marker->setVisible(!selectedSend.isEmpty());
        }
    }
    const std::int64_t last =
        m_points.empty() ? QDateTime::currentSecsSinceEpoch() : m_points.back().m_tSecond;
    m_pTime->setRange(QDateTime::fromSecsSinceEpoch(last - kSeconds + 1),
                      QDateTime::fromSecsSinceEpoch(last));
    m_pRate->setRange(0, highest > 0 ? highest / scale * 1.1 : 1);
    m_pRate->setTitleText(QString::fromLatin1(unit));
}

} // namespace flowsentry
