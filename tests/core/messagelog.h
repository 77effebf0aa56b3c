// Captures the debug channel for the length of a test case.
#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

class MessageLog {
public:
    MessageLog()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&MessageLog::handle);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }

    QStringList lines() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines;
    }
    int count(const QString &line) const { return int(lines().count(line)); }

private:
    static MessageLog *&current()
    {
        static MessageLog *log = nullptr;
        return log;
    }
    static void handle(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (MessageLog *log = current()) {
            QMutexLocker locker(&log->m_mutex);
            log->m_lines.append(message);
        }
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
