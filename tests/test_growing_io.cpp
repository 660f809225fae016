// The growing-file reader against real files: the end of a finished file,
// waiting at the live edge of a file another thread appends to, stop and
// follow flags, interrupted and failing reads, and seeks on a growing file.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "fault_pread.h"
#include "growing_io.h"
#include "test_support.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

class TestGrowingIO : public QObject {
    Q_OBJECT

private:
    // A reader over a fresh file holding `bytes` bytes.
    void openReader(int bytes);
    void append(int bytes, int afterMs);
    void joinWriter();

    QTemporaryDir m_dir;
    QString m_file;
    GrowingIO m_io;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_follow{false};
    std::thread m_writer;
    uint8_t m_buf[4096];

private slots:
    void initTestCase();
    void cleanup();
    void endOfFinishedFile();
    void shortReadIsReturnedAsIs();
    void liveEdgeShortWaitLogsNothing();
    void liveEdgeLongWaitLogsTwice();
    void followClearedWhileWaiting();
    void stopWhileWaiting();
    void stopWinsOverEndOfFile();
    void interruptedReadIsRetried();
    void failedReadKeepsPosition();
    void seeksOnAGrowingFile();
};

void TestGrowingIO::initTestCase()
{
    HostLog::instance().install(QString());
}

void TestGrowingIO::openReader(int bytes)
{
    static int serial = 0;
    m_file = m_dir.filePath(QString("f%1.bin").arg(++serial));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(bytes, 'x'));
    file.close();
    m_io = GrowingIO();
    m_io.fd = ::open(m_file.toLocal8Bit().constData(), O_RDONLY);
    QVERIFY(m_io.fd >= 0);
    m_abort = false;
    m_follow = false;
    m_io.abortFlag = &m_abort;
    m_io.followFlag = &m_follow;
}

void TestGrowingIO::append(int bytes, int afterMs)
{
    const QString path = m_file;
    m_writer = std::thread([path, bytes, afterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        QFile file(path);
        if (file.open(QIODevice::Append))
            file.write(QByteArray(bytes, 'y'));
    });
}

void TestGrowingIO::joinWriter()
{
    if (m_writer.joinable())
        m_writer.join();
}

void TestGrowingIO::cleanup()
{
    joinWriter();
    FaultPread::failNext(0, 0);
    if (m_io.fd >= 0)
        ::close(m_io.fd);
    m_io.fd = -1;
}

void TestGrowingIO::endOfFinishedFile()
{
    openReader(1000);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 1000);
    QCOMPARE(m_io.pos, 1000);
    const int before = HostLog::instance().count();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EOF);
    QVERIFY(timer.elapsed() < 15); // no sleeping when not following
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] IO 返回 EOF(follow=0) pos=1000"});
    QCOMPARE(logLines(before).first().level, LOG_INFO);
    // No null flag pointers needed: a reader without flags ends too.
    m_io.followFlag = nullptr;
    m_io.abortFlag = nullptr;
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EOF);
}

void TestGrowingIO::shortReadIsReturnedAsIs()
{
    openReader(10);
    m_follow = true;
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 10);
}

void TestGrowingIO::liveEdgeShortWaitLogsNothing()
{
    openReader(100);
    m_io.pos = 100;
    m_follow = true;
    const int before = HostLog::instance().count();
    append(500, 300);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 500);
    QCOMPARE(m_io.pos, 600);
    QCOMPARE(logTexts(before), QStringList());
}

void TestGrowingIO::liveEdgeLongWaitLogsTwice()
{
    openReader(100);
    m_io.pos = 100;
    m_follow = true;
    const int before = HostLog::instance().count();
    append(50, 2500);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 50);
    const QStringList lines = logTexts(before);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("[ZKPlayer] IO 在 live edge 等待写入 pos=100"));
    // The count is polls times 20 ms, so a little under the real time.
    const QRegularExpression recovered("^\\[ZKPlayer\\] IO 恢复:等了 (\\d+) ms 后 pos=100 有数据$");
    const QRegularExpressionMatch match = recovered.match(lines[1]);
    QVERIFY2(match.hasMatch(), qPrintable(lines[1]));
    const int waited = match.captured(1).toInt();
    QVERIFY(waited % 20 == 0 && waited >= 2000 && waited <= 2500);
}

void TestGrowingIO::followClearedWhileWaiting()
{
    openReader(100);
    m_io.pos = 100;
    m_follow = true;
    std::thread clear([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_follow = false;
    });
    const int before = HostLog::instance().count();
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EOF);
    clear.join();
    QCOMPARE(logTexts(before), QStringList{"[ZKPlayer] IO 返回 EOF(follow=0) pos=100"});
}

void TestGrowingIO::stopWhileWaiting()
{
    openReader(100);
    m_io.pos = 100;
    m_follow = true;
    QElapsedTimer timer;
    std::thread stop([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_abort = true;
    });
    const int before = HostLog::instance().count();
    timer.start();
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EXIT);
    stop.join();
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(logTexts(before), QStringList());
}

void TestGrowingIO::stopWinsOverEndOfFile()
{
    openReader(100);
    m_io.pos = 100;
    m_abort = true;
    const int before = HostLog::instance().count();
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EXIT);
    QCOMPARE(logTexts(before), QStringList());
}

void TestGrowingIO::interruptedReadIsRetried()
{
    openReader(300);
    const int before = HostLog::instance().count();
    FaultPread::failNext(3, EINTR);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 300);
    QCOMPARE(FaultPread::pending(), 0);
    QCOMPARE(logTexts(before), QStringList());
}

void TestGrowingIO::failedReadKeepsPosition()
{
    openReader(300);
    m_io.pos = 100;
    const int before = HostLog::instance().count();
    FaultPread::failNext(1, EIO);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR(EIO));
    QCOMPARE(m_io.pos, 100);
    QCOMPARE(logTexts(before), QStringList{QString("[ZKPlayer] IO 读错误 errno=%1 pos=100").arg(EIO)});
    QCOMPARE(logLines(before).first().level, LOG_WARNING);
    // The next call simply tries again at the same place.
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), 200);
}

void TestGrowingIO::seeksOnAGrowingFile()
{
    openReader(1000);
    QCOMPARE(zk_io_seek(&m_io, 0, AVSEEK_SIZE), 1000);
    QCOMPARE(m_io.pos, 0);
    append(500, 0);
    joinWriter();
    QCOMPARE(zk_io_seek(&m_io, 0, AVSEEK_SIZE), 1500);
    QCOMPARE(zk_io_seek(&m_io, 0, AVSEEK_SIZE | AVSEEK_FORCE), 1500);
    QCOMPARE(m_io.pos, 0);

    QCOMPARE(zk_io_seek(&m_io, 200, SEEK_SET), 200);
    QCOMPARE(zk_io_seek(&m_io, 50, SEEK_CUR | AVSEEK_FORCE), 250);
    QCOMPARE(zk_io_seek(&m_io, -100, SEEK_END), 1400);
    QCOMPARE(zk_io_seek(&m_io, 0, 12345), -1);
    QCOMPARE(m_io.pos, 1400);

    // Beyond the end is accepted; reading there finds nothing.
    QCOMPARE(zk_io_seek(&m_io, 5000, SEEK_SET), 5000);
    QCOMPARE(zk_io_read(&m_io, m_buf, sizeof(m_buf)), AVERROR_EOF);

    // A size request on a closed descriptor reports the error.
    ::close(m_io.fd);
    m_io.fd = -1;
    QCOMPARE(zk_io_seek(&m_io, 0, AVSEEK_SIZE), AVERROR(EBADF));
    QCOMPARE(zk_io_seek(&m_io, 0, SEEK_END), AVERROR(EBADF));
    QCOMPARE(m_io.pos, 5000);
}

QTEST_GUILESS_MAIN(TestGrowingIO)
#include "test_growing_io.moc"
