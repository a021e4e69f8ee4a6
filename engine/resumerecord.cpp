#include "resumerecord.h"

#include "atomicfile.h"
#include "httppolicy.h"

#include <QFile>
#include <QNetworkReply>

namespace {
// A smaller partial file is fetched again whole: resuming it would save little.
constexpr qint64 minResumeBytes = 1024 * 1024;
// A side file holds two numbers and a validator; anything larger is not ours.
constexpr qint64 sideFileMaxBytes = 4096;
}

ResumeRecord::ResumeRecord(const ManifestEntry &entry, const HeldFolder &partial, const QString &partialName)
    : m_entry(entry)
    , m_partial(partial)
    , m_partialName(partialName)
{
}

bool ResumeRecord::applies() const
{
    return m_entry.size > quint64(minResumeBytes);
}

bool ResumeRecord::load()
{
    QFile partial;
    if (!applies() || !m_partial.openFile(partial, m_partialName, QIODevice::ReadOnly) || partial.size() < minResumeBytes
            || quint64(partial.size()) >= m_entry.size)
        return false;
    QFile side;
    if (!m_partial.openFile(side, sideName(), QIODevice::ReadOnly, HeldFolder::Owner::Self, sideFileMaxBytes))
        return false;
    const QList<QByteArray> lines = side.read(sideFileMaxBytes).split('\n');
    if (lines.size() < 3 || lines.at(0) != QByteArray::number(m_entry.size) || lines.at(1) != m_entry.md5
            || lines.at(2).isEmpty() || !HttpPolicy::isPrintableAscii(lines.at(2)))
        return false;
    m_validator = lines.at(2);
    return true;
}

void ResumeRecord::save(const QNetworkReply &reply)
{
    if (!applies())
        return;
    m_validator = HttpPolicy::Validator::of(HttpHeaders::of(reply)).value;
    // Without a side file the partial body is simply not resumed.
    if (m_validator.isEmpty()
            || !writeFileAtomically(m_partial, sideName(), QByteArray::number(m_entry.size) + '\n' + m_entry.md5 + '\n'
                                    + m_validator + '\n'))
        remove();
}

void ResumeRecord::remove()
{
    m_validator.clear();
    if (applies())
        m_partial.remove(sideName());
}

bool ResumeRecord::canKeep(quint64 keptBytes) const
{
    return applies() && !m_validator.isEmpty() && keptBytes < m_entry.size
            && m_partial.kindOf(sideName()) == HeldFolder::Kind::File;
}
