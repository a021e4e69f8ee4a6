#pragma once

#include <QString>

/**
 * @file
 * What Windows refuses and Wine 8 does not, made to happen for the Windows
 * tests under Wine (see the README's "Where Wine is not Windows"). The updater
 * never sets these variables; only the Windows test rows do.
 */

/// UPDATER_TEST_JUNCTION_MARK: a folder holding a file of this name stands for a junction.
inline const QString &testJunctionMark()
{
    static const QString mark = qEnvironmentVariable("UPDATER_TEST_JUNCTION_MARK");
    return mark;
}

/// UPDATER_TEST_MAX_PATH: a path of MAX_PATH characters or more without the \\?\ prefix is refused, as Windows does.
inline bool testRefusesLongPaths()
{
    static const bool refuses = qEnvironmentVariableIsSet("UPDATER_TEST_MAX_PATH");
    return refuses;
}
