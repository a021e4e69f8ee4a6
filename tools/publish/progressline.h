#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

/**
 * A progress line for work that takes longer than a second: what is worked on,
 * the share done and the time so far, rewritten in place at most a few times a
 * second, and cleared when the work ends. Quiet for work that ends sooner.
 */
class ProgressLine
{
public:
    explicit ProgressLine(FILE *stream);

    /// @param share the share of the work done, 0 to 1
    void show(const QString &what, double share);
    /// Clears the line, if one was shown.
    void finish();

private:
    FILE *m_stream;
    QElapsedTimer m_clock;
    qint64 m_shownAt = -1;
    int m_width = 0;
};

/// True when @p stream is a terminal: a progress line is shown there unless asked for.
bool isTerminal(FILE *stream);
