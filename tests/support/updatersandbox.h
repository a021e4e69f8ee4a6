#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

/// The Qt platform that draws no window: "offscreen", which Qt for Windows lacks, or "minimal" there.
inline QString headlessPlatform()
{
#ifdef Q_OS_WIN
    return QStringLiteral("minimal");
#else
    return QStringLiteral("offscreen");
#endif
}

/**
 * A temporary application directory holding a copy of the real updater, its
 * system.cfg and a stand-in host application that records how it was started.
 */
class UpdaterSandbox
{
public:
    /// @param appSubdir the application directory below the sandbox root ("" for the root itself)
    explicit UpdaterSandbox(const QString &appSubdir = QString());

    bool isValid() const;
    /// Copies the updater into the application directory again (after a volume was mounted over it).
    bool copyUpdater() const;
    QString root() const;
    QString appDir() const;
    QString updaterPath() const;
    /// Path of @p relative below the sandbox root.
    QString path(const QString &relative) const;

    /// Writes system.cfg with the given keys in its [Update] section.
    void writeConfig(const QMap<QString, QString> &updateKeys) const;
    /// Writes @p bytes to @p relative below the root, creating its directories.
    void writeFile(const QString &relative, const QByteArray &bytes) const;
    QByteArray readFile(const QString &relative) const;
    /**
     * Installs the host stand-in at @p relative below the root (see hoststandin.cpp);
     * each start appends its arguments to the sandbox's log.
     */
    void installHost(const QString &relative) const;

    struct Result
    {
        bool finished = false;
        int exitCode = -1;
        QByteArray output;
        QByteArray errors;
    };
    /**
     * Runs the updater with @p arguments from @p workingDir (default: the root),
     * waiting while serving events. A run takes seconds at most when idle; the
     * default wait is far above that, for Wine on a busy machine.
     */
    Result run(const QStringList &arguments, int timeoutMsecs = 120000,
               const QString &workingDir = QString(),
               const QProcessEnvironment &extraEnvironment = QProcessEnvironment()) const;
    /// Starts the updater as run() does, without waiting.
    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &workingDir = QString(),
                                    const QProcessEnvironment &extraEnvironment = QProcessEnvironment()) const;
    /// Waits for a process of start() while serving events; it is killed after @p timeoutMsecs.
    static Result finish(QProcess &process, int timeoutMsecs = 120000);

    /// Runs the updater through @p launcher (a program and its arguments) from now on, as in "strace …".
    void setLauncher(const QStringList &launcher) { m_launcher = launcher; }

    /**
     * Every host start so far, each as its argument list. Waits up to @p waitMsecs
     * for @p expected of them: a start takes a fraction of a second, and seconds
     * under Wine on a busy machine.
     */
    QList<QStringList> hostStarts(int waitMsecs = 30000, int expected = 1) const;

private:
    QTemporaryDir m_dir;
    QString m_appDir;
    QStringList m_launcher;
};
