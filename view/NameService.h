// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/NameCache.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace flowsentry {

// Host names for the window: the cache lives on the window thread, the resolver answers on its own, and
// each answer is handed over by a queued call before it touches the cache the model reads, so nothing is
// shared between the threads but the hand-over. Answers that come close together are announced once.
class CNameService final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CNameService)

public:
    using Handler = std::function<void(NameAnswer)>;
    // Makes the resolver, which calls the handler (from any thread) with each answer. The default is
    // c-ares.
    using ResolverFactory = std::function<std::unique_ptr<IResolver>(Handler)>;
    // Answers are gathered this long before the list repaints and re-filters once for all of them: with a
    // filter on, the re-check looks at every hidden row (about 20 ms at a million rows, bench/filter_bench),
    // so it runs at most twice a second.
    static constexpr int kAnnounceMs = 500;

    explicit CNameService(QObject* parent = nullptr, const ResolverFactory& factory = {});
    ~CNameService() override;

    [[nodiscard]] CNameCache& Cache() { return *m_pCache; }
    void Want(const IpAddress& address);

signals:
    // The names of these addresses changed (on the window thread).
    void NamesChanged(const std::vector<IpAddress>& addresses);

private slots:
    void TakeAnswers();

private:
    void Deliver(const NameAnswer& answer);
    void Announce();

    std::mutex m_answersMutex;
    std::vector<NameAnswer> m_answers; // under m_answersMutex: come, not yet taken
    std::unique_ptr<IResolver> m_pResolver;
    std::unique_ptr<CNameCache> m_pCache;
    std::vector<IpAddress> m_changed;
    QTimer m_announce;
    QTimer m_tick; // gives up on look-ups that never answer, while some are outstanding
};

} // namespace flowsentry
