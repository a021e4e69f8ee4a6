#pragma once

#include <QString>

#include <optional>

/**
 * The highest serial of a signed update.ini this install has accepted, per
 * update URL, kept beside update_md5.info: a replay of an older description
 * is refused once a newer one was seen. A store that cannot be read (damaged,
 * a link, no file) knows nothing; what it stores never goes down.
 */
class SerialStore
{
public:
    explicit SerialStore(const QString &path);

    /// The highest serial accepted from @p updateUrl, if the store can tell.
    std::optional<qint64> seen(const QString &updateUrl) const;
    /// Records @p serial for @p updateUrl unless a higher one is stored; false when it cannot be written.
    bool record(const QString &updateUrl, qint64 serial) const;

private:
    QString m_path;
};
