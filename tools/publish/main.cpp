// update-publish: turns a release folder into an update site, and checks a site before upload.

#include "releasepublisher.h"
#include "releasesigner.h"
#include "progressline.h"
#include "reportsummary.h"
#include "signatureverifier.h"
#include "sitechecker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextCodec>

#include <QFile>

#include <cstdio>
#include <memory>

namespace {

void printLine(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
}

int fail(const QStringList &errors)
{
    for (const QString &error : errors)
        printLine(stderr, QStringLiteral("update-publish: ") + error);
    return 1;
}

int check(const QString &siteDir, const QString &publicKeyPath, QTextCodec *pathCodec, bool windowsNames)
{
    std::unique_ptr<SignatureVerifier> verifier;
    if (!publicKeyPath.isEmpty()) {
        QFile keyFile(publicKeyPath);
        if (!keyFile.open(QIODevice::ReadOnly))
            return fail({QStringLiteral("cannot read the public key %1").arg(publicKeyPath)});
        verifier = std::make_unique<SignatureVerifier>(keyFile.readAll());
        if (!verifier->isValid())
            return fail({QStringLiteral("%1 does not hold an Ed25519 public key").arg(publicKeyPath)});
    }
    SiteChecker checker(siteDir, verifier.get(), pathCodec, windowsNames);
    if (!checker.check())
        return fail(checker.problems());
    if (!checker.stage().isEmpty())
        printLine(stdout, QStringLiteral("%1: %2 beside the live release").arg(siteDir, checker.stage()));
    printLine(stdout, QStringLiteral("%1: %2 files of folder %3 verified, %4 artifacts applied and verified%5")
                          .arg(siteDir).arg(checker.checkedFiles()).arg(checker.folder()).arg(checker.appliedArtifacts())
                          .arg(checker.skippedArtifacts() ? QStringLiteral(" (%1 patches skipped: their base is on no folder of the site)")
                                                                    .arg(checker.skippedArtifacts())
                                                          : QString()));
    return 0;
}

// The command line: every option, and the parser that knows them.
struct CommandLine {
    QCommandLineParser parser;
    const QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Version text shown to users."), QStringLiteral("TEXT")};
    const QCommandLineOption type{QStringLiteral("type"), QStringLiteral("Update type: 0 optional, 1 mandatory (default)."), QStringLiteral("N"), QStringLiteral("1")};
    const QCommandLineOption folder{QStringLiteral("folder"), QStringLiteral("Version folder on the site (default: the version text)."), QStringLiteral("NAME")};
    const QCommandLineOption encoding{QStringLiteral("path-encoding"), QStringLiteral("8-bit encoding of the clients' file names, e.g. GBK (default: this machine's); give the same with --check."), QStringLiteral("CODEC")};
    const QCommandLineOption check{QStringLiteral("check"), QStringLiteral("Verify SITE_DIR instead of publishing."), QStringLiteral("SITE_DIR")};
    const QCommandLineOption key{QStringLiteral("key"), QStringLiteral("With --check: also verify the signatures with this public key."), QStringLiteral("PUBLIC_FILE")};
    const QCommandLineOption sign{QStringLiteral("sign"), QStringLiteral("Sign update.ini and md5.txt with this private key."), QStringLiteral("PRIVATE_FILE")};
    const QCommandLineOption keygen{QStringLiteral("keygen"), QStringLiteral("Make a key pair: --keygen PRIVATE_FILE PUBLIC_FILE.")};
    const QCommandLineOption deltaFrom{QStringLiteral("delta-from"), QStringLiteral("Make patches from this earlier version folder of the site (repeatable; default: the folder update.ini names)."), QStringLiteral("FOLDER")};
    const QCommandLineOption noDelta{QStringLiteral("no-delta"), QStringLiteral("Write no patches and no compressed copies.")};
    const QCommandLineOption expires{QStringLiteral("expires"), QStringLiteral("Signed clients stop trusting update.ini after this many days, e.g. 30d."), QStringLiteral("DAYS")};
    const QCommandLineOption linuxNames{QStringLiteral("allow-names-windows-refuses"),
                                        QStringLiteral("Publish (or pass --check with) names Windows cannot hold: a site for Linux clients only.")};
    const QCommandLineOption rollout{QStringLiteral("rollout"), QStringLiteral("Stage RELEASE_DIR to PERCENT of installs beside the live release, or with SITE_DIR alone set the staged release's share (0 halts it, 100 makes it live)."), QStringLiteral("PERCENT")};
    const QCommandLineOption reportSummary{QStringLiteral("report-summary"), QStringLiteral("Count the outcome reports in a web server's access log (common or combined format), per folder."), QStringLiteral("ACCESS_LOG")};
    const QCommandLineOption progress{QStringLiteral("progress"), QStringLiteral("Show how making the artifacts goes on standard error even where it is not a terminal (on a terminal it is shown anyway).")};
    const QCommandLineOption resign{QStringLiteral("resign"), QStringLiteral("Renew the serial, expiry and signature of SITE_DIR's update.ini: --resign --sign PRIVATE_FILE [--expires 30d] SITE_DIR.")};

    explicit CommandLine(const QCoreApplication &app)
    {
        parser.setApplicationDescription(QStringLiteral(
            "Publishes RELEASE_DIR as a version of the update site SITE_DIR, or checks a site."));
        parser.addHelpOption();
        parser.addOptions({version, type, folder, encoding, check, key, sign, keygen, deltaFrom, noDelta, expires, resign, linuxNames,
                           rollout, reportSummary, progress});
        parser.addPositionalArgument(QStringLiteral("RELEASE_DIR"), QStringLiteral("Folder holding the files of the release."));
        parser.addPositionalArgument(QStringLiteral("SITE_DIR"), QStringLiteral("Folder to upload to the update server."));
        parser.process(app);
    }
};

int makeKeys(const QStringList &positional)
{
    QString error;
    if (positional.size() != 2)
        return fail({QStringLiteral("usage: update-publish --keygen PRIVATE_FILE PUBLIC_FILE")});
    if (!ReleaseSigner::generateKeys(positional.at(0), positional.at(1), &error))
        return fail({error});
    printLine(stdout, QStringLiteral("private key in %1 (keep it secret), public key in %2").arg(positional.at(0), positional.at(1)));
    return 0;
}

int summarizeReports(const QString &logPath)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return fail({QStringLiteral("cannot read the access log %1: %2").arg(logPath, log.errorString())});
    ReportSummary summary;
    while (!log.atEnd())
        summary.addLogLine(log.readLine());
    printLine(stdout, QStringLiteral("%1: %2 outcome reports").arg(logPath).arg(summary.reports()));
    for (const QString &line : summary.lines())
        printLine(stdout, line);
    return 0;
}

int changeRollout(ReleasePublisher::Options options, const QStringList &positional)
{
    options.siteDir = positional.at(0);
    ReleasePublisher publisher(options);
    if (!publisher.setRollout())
        return fail(publisher.errors());
    printLine(stdout, options.rollout == 100 ? QStringLiteral("the staged release of %1 is now its live release").arg(options.siteDir)
                                             : QStringLiteral("the staged release of %1 now goes to %2 % of installs")
                                                       .arg(options.siteDir).arg(options.rollout));
    return 0;
}

int resign(ReleasePublisher::Options options, const QStringList &positional)
{
    if (positional.size() != 1 || !options.signer)
        return fail({QStringLiteral("usage: update-publish --resign --sign PRIVATE_FILE [--expires 30d] SITE_DIR")});
    options.siteDir = positional.at(0);
    ReleasePublisher publisher(options);
    if (!publisher.resign())
        return fail(publisher.errors());
    printLine(stdout, QStringLiteral("renewed %1/update.ini").arg(options.siteDir));
    return 0;
}

int publish(ReleasePublisher::Options options, const CommandLine &line)
{
    const QStringList positional = line.parser.positionalArguments();
    if (positional.size() != 2 || !line.parser.isSet(line.version))
        return fail({QStringLiteral("usage: update-publish --version TEXT [--type N] [--folder NAME] [--sign PRIVATE_FILE] [--delta-from FOLDER]... [--no-delta] [--expires DAYSd] [--rollout PERCENT] RELEASE_DIR SITE_DIR")});
    options.releaseDir = positional.at(0);
    options.siteDir = positional.at(1);
    options.version = line.parser.value(line.version);
    options.folder = line.parser.value(line.folder);
    bool typeIsNumber = false;
    options.updateType = line.parser.value(line.type).toInt(&typeIsNumber);
    if (!typeIsNumber)
        return fail({QStringLiteral("--type takes a whole number")});
    options.deltaFrom = line.parser.values(line.deltaFrom);
    options.artifacts = !line.parser.isSet(line.noDelta);
    ProgressLine progress(stderr);
    if (line.parser.isSet(line.progress) || isTerminal(stderr))
        options.progress = &progress;

    ReleasePublisher publisher(options);
    if (!publisher.publish())
        return fail(publisher.errors());
    printLine(stdout, QStringLiteral("published %1 files (%2 bytes) as version %3 in %4%5")
                          .arg(publisher.fileCount()).arg(publisher.byteCount()).arg(options.version, publisher.folderPath())
                          .arg(options.rollout >= 0 && options.rollout < 100
                                       ? QStringLiteral(", staged to %1 % of installs").arg(options.rollout) : QString()));
    for (const QString &summaryLine : publisher.artifactSummary())
        printLine(stdout, summaryLine);
    return 0;
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update-publish"));
    const CommandLine line(app);
    const QCommandLineParser &parser = line.parser;

    if (parser.isSet(line.keygen))
        return makeKeys(parser.positionalArguments());
    if (parser.isSet(line.reportSummary))
        return summarizeReports(parser.value(line.reportSummary));
    ReleasePublisher::Options options;
    if (parser.isSet(line.encoding)) {
        options.pathCodec = QTextCodec::codecForName(parser.value(line.encoding).toLatin1());
        if (!options.pathCodec)
            return fail({QStringLiteral("unknown path encoding %1").arg(parser.value(line.encoding))});
    }
    options.windowsNames = !parser.isSet(line.linuxNames);
    if (parser.isSet(line.check))
        return check(parser.value(line.check), parser.value(line.key), options.pathCodec, options.windowsNames);

    if (parser.isSet(line.expires)) {
        QString days = parser.value(line.expires);
        if (days.endsWith(QLatin1Char('d')))
            days.chop(1);
        bool isNumber = false;
        options.expiresDays = days.toInt(&isNumber);
        if (!isNumber || options.expiresDays < 1)
            return fail({QStringLiteral("--expires takes a number of days, e.g. 30d")});
    }
    std::unique_ptr<ReleaseSigner> signer;
    if (parser.isSet(line.sign)) {
        signer = std::make_unique<ReleaseSigner>(parser.value(line.sign));
        if (!signer->isValid())
            return fail({signer->errorString()});
        options.signer = signer.get();
    }
    if (parser.isSet(line.resign))
        return resign(options, parser.positionalArguments());
    if (parser.isSet(line.rollout)) {
        bool isNumber = false;
        options.rollout = parser.value(line.rollout).toInt(&isNumber);
        if (!isNumber || options.rollout < 0 || options.rollout > 100)
            return fail({QStringLiteral("--rollout takes a whole number of per cent, 0 to 100")});
        if (parser.positionalArguments().size() == 1)
            return changeRollout(options, parser.positionalArguments());
    }
    return publish(options, line);
}
