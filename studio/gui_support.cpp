#include "studio/gui_support.h"

#include <QMetaObject>

void CQueuedTarget::Post(std::function<void()> call)
{
    std::lock_guard lock(m_lock);
    if (m_receiver != nullptr)
        QMetaObject::invokeMethod(m_receiver, std::move(call), Qt::QueuedConnection);
}

void CQueuedTarget::Detach()
{
    std::lock_guard lock(m_lock);
    m_receiver = nullptr;
}
