#pragma once

#include <QString>

/**
 * The updater's own folder inside the cache folder. The cache may be a folder
 * that other users can write, so whatever the updater keeps there (downloads,
 * partial bodies, their side files) lives below this one, which only the
 * updater's user can enter: a real folder, not a link, owned by that user,
 * mode 0700 (on Windows: no link or junction at any level). prepare() checks
 * it before each use and makes it anew when it fails the check.
 */
class PrivateFolder
{
public:
    /// @param cacheDir the configured cache folder; the private folder is its ".updater"
    explicit PrivateFolder(const QString &cacheDir);

    /**
     * Makes sure the folder exists and passes the check, removing and making
     * anew whatever stands at its name otherwise. False, with the reason in
     * @p error, when that cannot be done.
     */
    bool prepare(QString *error = nullptr) const;

    /// The folder's absolute path.
    QString path() const { return m_path; }
    /// @p relative below the folder.
    QString filePath(const QString &relative) const;

private:
    QString m_path;
};
