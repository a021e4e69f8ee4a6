#pragma once

#include <QByteArray>
#include <QString>

#include <iostream>

class CUpdateError;

/**
 * @file
 * How a run tells its outcome: the result report for a calling program, the
 * relaunch of the host application, and the error dialog for a user.
 */

/// The compact JSON object {"errormsg":…,"success":…,"update":…}.
QByteArray resultReport(bool success, bool update, const QString &message);

/// Writes the result report to @p out, with no separator after it, and flushes.
void reportResult(bool success, bool update, const QString &message, std::ostream &out = std::cout);

/**
 * Starts @p hostPath detached with the arguments (@p updaterPath, "no_check"),
 * in the updater's working folder, holding none of the updater's files or
 * pipes (its standard input, output and error on the null device), and never
 * with rights the user would not start it with: an updater running as root on
 * behalf of a user (SUDO_UID, else PKEXEC_UID, else the owner of
 * @p installDir when that is not root) starts it as that user, with that
 * user's groups and home; an elevated updater on Windows starts it with the
 * desktop shell's unelevated rights where a shell runs. Which way it went is
 * logged in updater.run. Does nothing for an empty host path; returns whether
 * the start succeeded.
 */
bool relaunchHost(const QString &hostPath, const QString &updaterPath, const QString &installDir);

/// Shows @p dialog modally with the given texts; true when the user asked to retry.
bool showError(CUpdateError &dialog, const QString &title, const QString &message, bool showButtons);
