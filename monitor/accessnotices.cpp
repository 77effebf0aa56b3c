#include "accessnotices.h"

bool AccessNotices::denied(const QString &path)
{
    m_deniedThisScan.insert(path);
    if (m_told.contains(path))
        return false;
    m_told.insert(path);
    return true;
}

void AccessNotices::opened(const QString &path)
{
    m_told.remove(path);
    m_deniedThisScan.remove(path);
}

void AccessNotices::scanFinished()
{
    m_told = std::move(m_deniedThisScan);
    m_deniedThisScan.clear();
}
