// Which controllers the user has been told they may not open. Scans retry a denied node every few
// seconds; the user hears about it once while the controller stays plugged in, and again when it
// is plugged in anew and still denied.
#pragma once

#include <QSet>
#include <QString>

class AccessNotices {
public:
    // The node at `path` could not be opened for lack of permission. True when the user has not
    // been told about it yet.
    bool denied(const QString &path);
    // The node at `path` opened: a later denial is news again.
    void opened(const QString &path);
    // A scan ended. Paths it did not find denied are forgotten: their controller was unplugged.
    void scanFinished();

private:
    QSet<QString> m_told;           // reported, and denied in the last finished scan or since
    QSet<QString> m_deniedThisScan; // denied during the running scan
};
