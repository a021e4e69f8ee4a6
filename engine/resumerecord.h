#pragma once

#include "heldfolder.h"
#include "manifest.h"

#include <QByteArray>
#include <QString>

class QNetworkReply;

/**
 * What lets a later attempt continue a download cut short: a side file beside
 * the partial body ("<partial>.resume") naming the entry's size and digest and
 * the response's validator (ETag, else Last-Modified). It is trusted only as a
 * regular file of the updater's user of at most 4 KiB, and a validator only as
 * printable ASCII, since it goes back to the server inside a header.
 */
class ResumeRecord
{
public:
    /// For a partial body of @p entry kept as @p partialName in @p partial.
    ResumeRecord(const ManifestEntry &entry, const HeldFolder &partial, const QString &partialName);

    /// Only files over 1 MiB keep partial bodies: for small ones the bookkeeping costs more than it saves.
    bool applies() const;
    /// True when a partial body worth continuing and the side file of this very entry are kept.
    bool load();
    /// Records the validator of @p reply; without a usable one nothing will be kept.
    void save(const QNetworkReply &reply);
    /// Forgets the side file.
    void remove();
    /// True when a partial body of @p keptBytes can be continued by a later attempt.
    bool canKeep(quint64 keptBytes) const;
    QByteArray validator() const { return m_validator; }

private:
    QString sideName() const { return m_partialName + QLatin1String(".resume"); }

    ManifestEntry m_entry;
    HeldFolder m_partial;
    QString m_partialName;
    QByteArray m_validator;
};
