#pragma once

#include "heldfolder.h"

#include <QDir>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

/**
 * The outcome of a pass that installed something or failed, sent, when the
 * publisher's ReportUrl asks for it, as one GET whose query carries: "id", a
 * per-release id (SHA-256 of the install's id and the folder, never the id
 * itself; empty when the install has none), "folder", "outcome" ("success" or
 * "failure"), "message" (the user's message, file names relative to the
 * install folder) and "msecs", the pass's duration. Anyone can send such a
 * request: a report is a hint, not evidence.
 */
class OutcomeReport
{
public:
    /// What a pass ended with.
    struct Pass
    {
        QString folder;   ///< the release installed or tried; empty when the check failed before it was known
        bool success = false;
        QString message;
        qint64 msecs = 0;
    };

    /// The longest a report may hold up the end of a run.
    static constexpr int timeoutMsecs = 5000;

    OutcomeReport(QNetworkAccessManager &network, const QUrl &reportUrl, const HeldFolder &install,
                  const QList<QDir> &privateFolders);

    /// The request for @p pass, without sending it.
    QUrl requestFor(const Pass &pass) const;
    /// Sends the report of @p pass and waits for its answer, at most timeoutMsecs; what it answers does not count.
    void send(const Pass &pass);

private:
    QString withoutFolders(QString message) const;

    QNetworkAccessManager &m_network;
    QUrl m_reportUrl;
    HeldFolder m_install;
    QList<QDir> m_folders;
};
