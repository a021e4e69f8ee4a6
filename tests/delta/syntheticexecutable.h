#pragma once

#include <QByteArray>
#include <QMetaType>

enum class ExecutableFormat { Pe, Elf };
Q_DECLARE_METATYPE(ExecutableFormat)

/**
 * An x86-64 executable made up for tests, the same on every platform:
 * functions that call and jump and load data RIP-relatively, a table of
 * absolute pointers with its relocations, and for PE an exception table. A
 * later @p release inserts code into some functions and grows some data, so
 * that most of the code moves but little of it changes.
 */
QByteArray syntheticExecutable(ExecutableFormat format, int release);
