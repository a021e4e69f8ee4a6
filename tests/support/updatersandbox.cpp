#include "updatersandbox.h"

#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QEventLoop>
#include <QTimer>
#include <QTest>

namespace {
const char hostLog[] = "host-starts.log";
}

UpdaterSandbox::UpdaterSandbox(const QString &appSubdir)
    : m_appDir(appSubdir.isEmpty() ? m_dir.path() : m_dir.path() + QLatin1Char('/') + appSubdir)
{
    QDir().mkpath(m_appDir);
    copyUpdater();
}

bool UpdaterSandbox::copyUpdater() const
{
    return QFile::copy(QStringLiteral(UPDATER_EXECUTABLE), updaterPath());
}

bool UpdaterSandbox::isValid() const
{
    return m_dir.isValid() && QFileInfo(updaterPath()).isExecutable();
}

QString UpdaterSandbox::root() const
{
    return m_dir.path();
}

QString UpdaterSandbox::appDir() const
{
    return m_appDir;
}

QString UpdaterSandbox::updaterPath() const
{
    return m_appDir + QLatin1Char('/') + QFileInfo(QStringLiteral(UPDATER_EXECUTABLE)).fileName();
}

QString UpdaterSandbox::path(const QString &relative) const
{
    return m_dir.filePath(relative);
}

void UpdaterSandbox::writeConfig(const QMap<QString, QString> &updateKeys) const
{
    QByteArray text = "[Update]\n";
    for (auto it = updateKeys.cbegin(); it != updateKeys.cend(); ++it)
        text += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    QFile file(m_appDir + QStringLiteral("/system.cfg"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
}

void UpdaterSandbox::writeFile(const QString &relative, const QByteArray &bytes) const
{
    writeTestFile(path(relative), bytes);
}

QByteArray UpdaterSandbox::readFile(const QString &relative) const
{
    return readTestFile(path(relative), QByteArray());
}

void UpdaterSandbox::installHost(const QString &relative) const
{
    // One line per start: the arguments joined by TAB, in the sandbox's log.
    QDir().mkpath(QFileInfo(path(relative)).absolutePath());
    QFile::remove(path(relative));
    QFile::copy(QStringLiteral(HOST_STAND_IN_EXECUTABLE), path(relative));
    writeFile(relative + QStringLiteral(".log-path"), path(QLatin1String(hostLog)).toUtf8());
}

UpdaterSandbox::Result UpdaterSandbox::run(const QStringList &arguments, int timeoutMsecs,
                                           const QString &workingDir,
                                           const QProcessEnvironment &extraEnvironment) const
{
    const std::unique_ptr<QProcess> process = start(arguments, workingDir, extraEnvironment);
    return finish(*process, timeoutMsecs);
}

std::unique_ptr<QProcess> UpdaterSandbox::start(const QStringList &arguments, const QString &workingDir,
                                                const QProcessEnvironment &extraEnvironment) const
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), headlessPlatform());
    environment.insert(extraEnvironment);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(workingDir.isEmpty() ? root() : workingDir);
    if (m_launcher.isEmpty())
        process->start(updaterPath(), arguments);
    else
        process->start(m_launcher.first(), m_launcher.mid(1) + QStringList{updaterPath()} + arguments);
    return process;
}

UpdaterSandbox::Result UpdaterSandbox::finish(QProcess &process, int timeoutMsecs)
{
    // Waiting in an event loop keeps the test's own servers answering.
    if (process.state() != QProcess::NotRunning) {
        QEventLoop loop;
        QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMsecs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    Result result;
    result.finished = process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit;
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    return result;
}

QList<QStringList> UpdaterSandbox::hostStarts(int waitMsecs, int expected) const
{
    const auto logged = [this] {
        QList<QStringList> starts;
        const QList<QByteArray> lines = readFile(QLatin1String(hostLog)).split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                starts.append(QString::fromUtf8(line).split(QLatin1Char('\t')));
        }
        return starts;
    };
    QElapsedTimer timer;
    timer.start();
    while (logged().size() < expected && timer.elapsed() < waitMsecs)
        QTest::qWait(20);
    // A detached start may still be writing its line.
    QTest::qWait(50);
    return logged();
}
