#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

/**
 * Verifies an update site before it is uploaded: update.ini names a version
 * folder whose md5.txt parses completely, and every file it lists is present
 * with the listed size and digest text.
 */
class SiteChecker
{
    Q_DECLARE_TR_FUNCTIONS(SiteChecker)

public:
    explicit SiteChecker(const QString &siteDir);

    /// Checks the site; false when anything is wrong (see problems()).
    bool check();

    QStringList problems() const { return m_problems; }
    int checkedFiles() const { return m_checkedFiles; }
    QString folder() const { return m_folder; }

private:
    void checkManifestLines(const QByteArray &manifest, int entryCount);

    QString m_siteDir;
    QString m_folder;
    QStringList m_problems;
    int m_checkedFiles = 0;
};
