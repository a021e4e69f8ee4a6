#include "progressline.h"

namespace {
constexpr qint64 quietFor = 1000;
constexpr qint64 interval = 250;
}

ProgressLine::ProgressLine(FILE *stream)
    : m_stream(stream)
{
    m_clock.start();
}

void ProgressLine::show(const QString &what, double share)
{
    const qint64 elapsed = m_clock.elapsed();
    if (elapsed < quietFor || (m_shownAt >= 0 && elapsed - m_shownAt < interval))
        return;
    m_shownAt = elapsed;
    const QByteArray line = QStringLiteral("%1  %2 %  %3 s")
                                    .arg(what)
                                    .arg(qBound(0.0, share, 1.0) * 100.0, 0, 'f', 0)
                                    .arg(double(elapsed) / 1000.0, 0, 'f', 1)
                                    .toLocal8Bit();
    // Padded over what a longer line before left on the terminal.
    std::fprintf(m_stream, "\r%-*s", m_width, line.constData());
    std::fflush(m_stream);
    m_width = qMax(m_width, line.size());
}

void ProgressLine::finish()
{
    if (m_width == 0)
        return;
    std::fprintf(m_stream, "\r%*s\r", m_width, "");
    std::fflush(m_stream);
    m_width = 0;
}
