// Prints the time of md5Text over a 256 MiB buffer against OpenSSL's MD5 over
// the same buffer, as medians of alternating runs, and their ratio.

#include "filehash.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}

int main()
{
    QByteArray buffer(256 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(buffer.data()), buffer.size() / 4);

    std::vector<double> ours;
    std::vector<double> reference;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray text = md5Text(buffer);
        ours.push_back(timer.nsecsElapsed() / 1e6);

        timer.restart();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(buffer.constData(), size_t(buffer.size()), digest, &length, EVP_md5(), nullptr);
        reference.push_back(timer.nsecsElapsed() / 1e6);
        if (digestText(QByteArray(reinterpret_cast<const char *>(digest), int(length))) != text) {
            std::fprintf(stderr, "digest mismatch\n");
            return 1;
        }
    }
    std::printf("%.1f %.1f\n", median(ours), median(reference));
    return 0;
}
