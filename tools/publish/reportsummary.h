#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

/**
 * What installs reported of each release, read from a web server's access log
 * in the common or combined format (nginx's and Apache's defaults): every
 * request whose query carries the updater's "outcome" and "folder" counts. A
 * report is a hint: anyone can send one.
 */
class ReportSummary
{
public:
    /// Counts the report in @p line, if it holds one; other lines are passed over.
    void addLogLine(const QByteArray &line);
    /// Per folder: how many installs reported success and failure, and the five most frequent failure messages.
    QStringList lines() const;
    int reports() const { return m_reports; }

private:
    struct Release
    {
        QSet<QString> succeeded;   // per-release ids; a report without one counts on its own
        QSet<QString> failed;
        QMap<QString, int> failures;   // message -> reports
    };

    QMap<QString, Release> m_releases;
    int m_reports = 0;
};
