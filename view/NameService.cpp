// SPDX-License-Identifier: GPL-3.0-or-later
#include "view/NameService.h"

#include "platform/AresResolver.h"

namespace flowsentry {

CNameService::CNameService(QObject* parent, const ResolverFactory& factory) : QObject(parent) {
    // Runs on the resolver's thread: the answer goes in a list under a mutex of ours, and a queued call by
    // name (which Qt drops if this object is gone by then) takes it on the window thread. A functor holding
    // the answer would be handed over by Qt's own locks, which ThreadSanitizer cannot see.
    Handler handler = [this](NameAnswer answer) {
        {
            const std::lock_guard lock(m_answersMutex);
            m_answers.push_back(std::move(answer));
        }
        QMetaObject::invokeMethod(this, "TakeAnswers", Qt::QueuedConnection);
    };
    m_pResolver = factory ? factory(std::move(handler)) : std::make_unique<CAresResolver>(std::move(handler));
    m_pCache = std::make_unique<CNameCache>(*m_pResolver);
    m_announce.setSingleShot(true);
    m_announce.setInterval(kAnnounceMs);
    connect(&m_announce, &QTimer::timeout, this, &CNameService::Announce);
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        m_pCache->Tick();
        if (m_pCache->Idle()) {
            m_tick.stop();
        }
    });
}

CNameService::~CNameService() {
    // The resolver's thread ends first (look-ups still running are dropped), so no answer comes after.
    m_pResolver.reset();
}

void CNameService::Want(const IpAddress& address) {
    m_pCache->Want(address);
    if (!m_pCache->Idle() && !m_tick.isActive()) {
        m_tick.start();
    }
}

void CNameService::TakeAnswers() {
    std::vector<NameAnswer> answers;
    {
        const std::lock_guard lock(m_answersMutex);
        answers.swap(m_answers);
    }
    for (const NameAnswer& answer : answers) {
        Deliver(answer);
    }
}

void CNameService::Deliver(const NameAnswer& answer) {
    if (m_pCache->Answer(answer)) {
        m_changed.push_back(answer.m_address);
        if (!m_announce.isActive()) {
            m_announce.start();
        }
    }
}

void CNameService::Announce() {
    std::vector<IpAddress> changed;
    changed.swap(m_changed);
    emit NamesChanged(changed);
}

} // namespace flowsentry
