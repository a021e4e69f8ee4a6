#include "reportsummary.h"

#include <QList>

#include <algorithm>

namespace {
constexpr int shownFailures = 5;

// The query of the request line in `host ident user [time] "GET /path?query HTTP/1.1" status bytes …`.
QByteArray requestQuery(const QByteArray &line)
{
    const int open = line.indexOf('"');
    const int close = open < 0 ? -1 : line.indexOf('"', open + 1);
    if (close < 0)
        return {};
    const QList<QByteArray> request = line.mid(open + 1, close - open - 1).split(' ');
    if (request.size() < 2)
        return {};
    const QByteArray &target = request.at(1);
    const int mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}
}

void ReportSummary::addLogLine(const QByteArray &line)
{
    QMap<QByteArray, QString> fields;
    for (const QByteArray &pair : requestQuery(line).split('&')) {
        const int equals = pair.indexOf('=');
        if (equals > 0)
            fields.insert(pair.left(equals), QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(equals + 1))));
    }
    const QString outcome = fields.value("outcome");
    if (!fields.contains("folder") || (outcome != QLatin1String("success") && outcome != QLatin1String("failure")))
        return;
    ++m_reports;
    Release &release = m_releases[fields.value("folder")];
    const QString id = fields.value("id").isEmpty() ? QStringLiteral("report %1").arg(m_reports) : fields.value("id");
    if (outcome == QLatin1String("success")) {
        release.succeeded.insert(id);
        return;
    }
    release.failed.insert(id);
    ++release.failures[fields.value("message")];
}

QStringList ReportSummary::lines() const
{
    QStringList lines;
    for (auto release = m_releases.cbegin(); release != m_releases.cend(); ++release) {
        lines << QStringLiteral("folder %1: %2 installs reported success, %3 failure")
                         .arg(release.key().isEmpty() ? QStringLiteral("(none)") : release.key())
                         .arg(release->succeeded.size()).arg(release->failed.size());
        QList<QPair<int, QString>> failures;
        for (auto failure = release->failures.cbegin(); failure != release->failures.cend(); ++failure)
            failures.append({failure.value(), failure.key()});
        // Most frequent first; equal counts in the order of their text.
        std::sort(failures.begin(), failures.end(), [](const QPair<int, QString> &a, const QPair<int, QString> &b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        for (int i = 0; i < qMin(shownFailures, failures.size()); ++i)
            lines << QStringLiteral("  %1 × %2").arg(failures.at(i).first).arg(failures.at(i).second);
    }
    return lines;
}
