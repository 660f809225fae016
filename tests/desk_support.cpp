#include "desk_support.h"

#include <QProcess>

#include <cmath>

namespace DeskSupport {

std::pair<int, double> listen(int ms)
{
    QProcess parec;
    parec.start("parec", {"-d", "sinkA.monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    parec.waitForStarted();
    QTest::qWait(ms);
    parec.kill();
    parec.waitForFinished();
    const QByteArray pcm = parec.readAllStandardOutput();
    const auto *s = reinterpret_cast<const qint16 *>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    qint64 crossings = 0;
    double sum = 0;
    for (qsizetype i = 1; i < frames; ++i) {
        crossings += (s[2 * i] >= 0) != (s[2 * i - 2] >= 0);
        sum += double(s[2 * i]) * s[2 * i];
    }
    const double seconds = frames / 48000.0;
    return {seconds > 0 ? int(crossings / 2 / seconds) : 0, frames ? std::sqrt(sum / frames) : 0};
}

} // namespace DeskSupport
