#pragma once

#include "configuration.h"
#include "cupdateerror.h"
#include "signatureverifier.h"
#include "singleinstanceguard.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>

#include <iostream>
#include <memory>
#include <optional>

class HeldFolder;
class UpdateCheck;
struct UpdatePlan;

/**
 * One run of the updater, from the configuration to the exit code.
 *
 * The constructor reads system.cfg beside the updater and settles the run mode
 * from the mode argument: "console" (results as JSON on the report stream, no
 * notice or error dialog), "restart" (only relaunch the host), anything else
 * window mode. run() guards against a second updater, checks the configuration,
 * prepares the install and cache directories, then runs update passes until one
 * ends the run: each holds the install folder, runs the update check
 * (UpdateCheck), and, when files changed, the update under the notice and the
 * progress dialog or headless, then stores the local manifest, reports and
 * relaunches the host. A failure the user may retry starts a new pass.
 *
 * Needs a QApplication. The report stream is standard output in the program;
 * tests may pass their own.
 */
class UpdateDriver
{
    Q_DECLARE_TR_FUNCTIONS(UpdateDriver)

public:
    /// @param applicationFilePath the updater's executable; its directory holds system.cfg
    /// @param modeArgument the first command-line argument, or empty
    UpdateDriver(const QString &applicationFilePath, const QString &modeArgument,
                 std::ostream &reports = std::cout);

    /// Runs the updater; returns the exit code: 0 only after a successful install.
    int run();

private:
    /// An exit code ends the run; no value starts a new pass.
    using PassEnd = std::optional<int>;

    /// The first configuration problem, as the user is told it; empty when none.
    QString configurationProblem();
    /// False when the cache folder is the install folder or holds it.
    bool prepareDirectories();
    /**
     * The first of the application folder, system.cfg, the updater and the
     * install folder that someone else could change (each one is logged);
     * empty when none.
     */
    QString firstUnprotectedPath() const;
    void storeLocalManifest(const HeldFolder &install, const QByteArray &manifest);
    PassEnd runPass();
    PassEnd runUpdate(UpdateCheck &check, const UpdatePlan &plan);
    PassEnd retryableFailure(const QString &message);
    /// Sends the outcome of the pass that @p plan describes where ReportUrl asks for it.
    void reportOutcome(const UpdatePlan &plan, bool success, const QString &message);
    /// Tells @p message under @p title without a retry and ends the run.
    int endWith(const QString &title, const QString &message);
    void report(bool success, bool update, const QString &message);
    void relaunch();

    std::ostream &m_reports;
    CUpdateError m_errorDialog;
    QString m_applicationFile;
    QDir m_applicationDir;
    Configuration m_config;
    QNetworkAccessManager m_network;
    QDir m_installDir;
    QElapsedTimer m_passClock;
    bool m_console = false;
    bool m_restart = false;
    SingleInstanceGuard m_guard;
    std::unique_ptr<SignatureVerifier> m_verifier;
};
