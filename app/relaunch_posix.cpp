#include "outcome.h"

#include "checklog.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Who the host is started as: nobody but the updater's own user, unless that is root.
struct Account
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    QByteArray name;
    QByteArray home;
};

// The user a root updater acts for: who ran sudo or pkexec, else the install
// folder's owner; nobody when that is root too.
bool invokingUser(const QString &installDir, Account &account)
{
    if (::geteuid() != 0)
        return false;
    bool found = false;
    for (const char *variable : {"SUDO_UID", "PKEXEC_UID"}) {
        bool isNumber = false;
        const uint uid = qEnvironmentVariable(variable).trimmed().toUInt(&isNumber);
        if (isNumber && uid != 0) {
            account.uid = uid_t(uid);
            found = true;
            break;
        }
    }
    struct stat folder;
    if (!found && ::stat(QFile::encodeName(installDir).constData(), &folder) == 0 && folder.st_uid != 0) {
        account.uid = folder.st_uid;
        account.gid = folder.st_gid;
        found = true;
    }
    if (!found)
        return false;
    // The account's own group, groups and home where it has an entry; its id alone otherwise.
    passwd entry;
    passwd *result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(account.uid, &entry, buffer.data(), buffer.size(), &result) == 0 && result) {
        account.gid = entry.pw_gid;
        account.name = entry.pw_name;
        account.home = entry.pw_dir;
        int count = 64;
        account.groups.resize(size_t(count));
        if (::getgrouplist(entry.pw_name, entry.pw_gid, account.groups.data(), &count) < 0) {
            account.groups.resize(size_t(count));
            ::getgrouplist(entry.pw_name, entry.pw_gid, account.groups.data(), &count);
        }
        account.groups.resize(size_t(qMax(count, 0)));
    } else if (const QByteArray gid = qgetenv("SUDO_GID"); !gid.isEmpty()) {
        account.gid = gid_t(gid.toUInt());
    }
    if (account.groups.empty())
        account.groups.push_back(account.gid);
    return true;
}

std::vector<char *> pointersTo(QList<QByteArray> &strings)
{
    std::vector<char *> pointers;
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

}

bool relaunchHost(const QString &hostPath, const QString &updaterPath, const QString &installDir)
{
    if (hostPath.isEmpty())
        return false;
    Account account;
    const bool asUser = invokingUser(installDir, account);
    qCInfo(lcRun).noquote() << "starting the host" << hostPath
                            << (asUser ? QStringLiteral("as user %1, not as root").arg(account.uid)
                                       : QStringLiteral("with the updater's own rights"));
    // Everything the child needs is made before the fork: after it, only calls
    // that are safe there.
    QList<QByteArray> arguments{QFile::encodeName(hostPath), QFile::encodeName(updaterPath), "no_check"};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (asUser) {
        environment.insert(QStringLiteral("HOME"), QFile::decodeName(account.home.isEmpty() ? QByteArray("/") : account.home));
        if (!account.name.isEmpty()) {
            environment.insert(QStringLiteral("USER"), QString::fromLocal8Bit(account.name));
            environment.insert(QStringLiteral("LOGNAME"), QString::fromLocal8Bit(account.name));
        }
    }
    QList<QByteArray> variables;
    for (const QString &variable : environment.toStringList())
        variables << variable.toLocal8Bit();
    std::vector<char *> argv = pointersTo(arguments);
    std::vector<char *> envp = pointersTo(variables);

    int failure[2];
    if (::pipe2(failure, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        // Detached twice, so the host is nobody's child and outlives the updater.
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        // The host must not hold the caller's pipes: whoever reads the report
        // gets end-of-file when the updater exits, and nothing but the report.
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(null, fd);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        // Groups first, the user last: once it is not root, nothing else may change.
        const bool dropped = !asUser
                || (::setgroups(account.groups.size(), account.groups.data()) == 0 && ::setgid(account.gid) == 0
                    && ::setuid(account.uid) == 0 && ::geteuid() == account.uid && ::setuid(0) != 0);
        if (dropped)
            ::execve(argv[0], argv.data(), envp.data());
        const int error = dropped ? errno : EPERM;
        (void)!::write(failure[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(failure[1]);
    int status = 0;
    if (child > 0)
        ::waitpid(child, &status, 0);
    int error = 0;
    const bool failed = child < 0 || ::read(failure[0], &error, sizeof error) == sizeof error;
    ::close(failure[0]);
    if (failed)
        qCInfo(lcRun).noquote() << "the host could not be started:" << qt_error_string(child < 0 ? errno : error);
    return !failed;
}
