// Zerka inside real OBS Studio: installed by its own install rule into a
// private OBS configuration, with the operator module beside it playing the
// operator through the desk's widgets (tests/obs). Two runs of OBS serve
// every check: each recording format OBS offers, followed by the instant
// replay, dragged on the timeline and played on to its last picture (what
// the lane showed, checked against the finished files' own picture times);
// the recording paused and split in OBS; the hotkeys pressed as a remote
// controller presses them, and saved by OBS through the module; the desk's
// main job (the replay swapped to program, program full screen on the
// second display, streamed to a local RTMP server and heard on the monitor
// device), each output checked on what it got; and each exit, against a
// run of the same OBS without the module.

// QtTest first: the OBS headers' SIMD shim must come after the compiler's intrinsics.
#include <QtTest>

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

using namespace TestSupport;

namespace {

const QString kSession = QStringLiteral(ZK_TESTS_DIR "/obs-session");

struct ObsRun {
    QString dir;
    int exitCode = -1;
    QString log; // OBS's own log of the run
    QJsonObject results;
};

// Prepares a private configuration in `dir`, runs OBS with the operator's
// `job` until it quits, and collects what it left.
ObsRun runObs(const QString &dir, const QString &job, const QStringList &prepare, const QString &rtmpUrl = QString())
{
    ObsRun run;
    run.dir = dir;
    QDir(dir).removeRecursively();
    if (TestSupport::run("bash", QStringList{kSession, "prepare", dir, ZK_BUILD_DIR} + prepare, nullptr, 120000) != 0)
        return run;
    QProcess obs;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZK_OPERATOR", job);
    env.insert("ZK_OPERATOR_OUT", dir + "/out");
    env.insert("ZK_RTMP_URL", rtmpUrl);
    obs.setProcessEnvironment(env);
    obs.start("bash", {kSession, "run", dir});
    if (!obs.waitForFinished(480000)) {
        TestSupport::run("bash", {kSession, "stop", dir});
        obs.waitForFinished(60000);
    }
    run.exitCode = obs.exitStatus() == QProcess::NormalExit ? obs.exitCode() : -1;
    QString logPath;
    TestSupport::run("bash", {kSession, "log", dir}, &logPath);
    QFile log(logPath.trimmed());
    if (log.open(QIODevice::ReadOnly))
        run.log = QString::fromUtf8(log.readAll());
    QFile results(dir + "/out/results.json");
    if (results.open(QIODevice::ReadOnly))
        run.results = QJsonDocument::fromJson(results.readAll()).object();
    return run;
}

int memoryLeaks(const QString &log)
{
    const QRegularExpressionMatch m = QRegularExpression("Number of memory leaks: (\\d+)").match(log);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// What a lane showed of a file, from its first picture shown to the end,
// against the file's own picture times: each of those pictures once, in
// order. OBS's Hybrid MP4 writer indexes its finished file anew, and that
// index can leave out a picture or two of the last fragment which the lane
// read while the file grew: pictures beyond the index's last quarter
// second are not counted as faults. Empty when they agree.
QString compareWithFile(const QVector<std::pair<qint64, double>> &shown, const QVector<double> &pictures)
{
    if (pictures.isEmpty() || shown.isEmpty())
        return QStringLiteral("nothing to compare");
    int at = 0;
    while (at < pictures.size() && pictures.at(at) < shown.first().second - 0.001)
        ++at;
    const double tail = pictures.last() - 0.25;
    int k = 0;
    for (const auto &[wall, pts] : shown) {
        if (at < pictures.size() && qAbs(pictures.at(at) - pts) <= 0.002) {
            ++at;
            continue;
        }
        if (at < pictures.size() && pts > pictures.at(at) + 0.002 && pictures.at(at) < tail)
            return QString("picture %1 of the file (%2 s) was not shown").arg(at).arg(pictures.at(at));
        if (pts < tail)
            return QString("shown picture %1 (%2 s) is not next in the file (%3 s)")
                    .arg(k).arg(pts).arg(at < pictures.size() ? pictures.at(at) : -1.0);
        ++k;
    }
    if (at < pictures.size())
        return QString("the last %1 pictures of the file were not shown").arg(pictures.size() - at);
    return QString();
}

int seconds(const QString &label)
{
    const QRegularExpressionMatch m = QRegularExpression("(\\d+):(\\d+):(\\d+)").match(label);
    return m.hasMatch() ? m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toInt() : -1;
}

// What a lane showed, [wall ms, pts] a picture, cut where the pictures
// start again (the next file).
QVector<QVector<std::pair<qint64, double>>> byFile(const QJsonArray &frames)
{
    QVector<QVector<std::pair<qint64, double>>> shown(1);
    for (const QJsonValue &value : frames) {
        const QJsonArray frame = value.toArray();
        const std::pair<qint64, double> entry{frame.at(0).toInteger(), frame.at(1).toDouble()};
        if (!shown.last().isEmpty() && entry.second < shown.last().last().second - 0.5)
            shown.append(QVector<std::pair<qint64, double>>());
        shown.last().append(entry);
    }
    return shown;
}

// The first picture a lane showed from wall time `from` (ms) on; -1 when none.
double firstFrom(const QJsonArray &frames, qint64 from)
{
    // The lane may show a few more pictures of what it played before the
    // new load is open: the load's first is the first that jumps.
    double before = -1;
    for (const QJsonValue &value : frames) {
        const double pts = value.toArray().at(1).toDouble();
        if (value.toArray().at(0).toInteger() >= from && (before < 0 || qAbs(pts - before) > 0.5))
            return pts;
        before = pts;
    }
    return -1;
}

} // namespace

class TestObs : public QObject {
    Q_OBJECT

private:
    QJsonObject round(const QString &name) const;
    int obsMajor() const; // of the OBS that ran, from the operator
    ObsRun m_formats; // a recording in each format, a profile each
    ObsRun m_run;     // the other rounds, in one profile
    ObsRun m_plain;
    std::unique_ptr<Server> m_audio;
    std::unique_ptr<Server> m_rtmp;
    QString m_monitorPcm; // what the monitor device played through the whole run

private slots:
    void initTestCase();
    void replayOfEachRecordingFormat_data();
    void replayOfEachRecordingFormat();
    void roadOfAShow();
    void hotkeysBoundInObs();
    void remoteControlThroughObsWebsocket();
    void programAsAnObsSource();
    void featuresBeyondTheButtons();
    void mainJobReachesEveryOutput();
    void exitIsClean();
};

void TestObs::initTestCase()
{
    m_audio = startAudioServer(); // OBS's sound and the desk's monitor
    QVERIFY(m_audio && m_audio->up());
    const QString base = QStringLiteral(ZK_BUILD_DIR "/tests/obs-runs");
    QDir(base).removeRecursively();
    m_rtmp = std::make_unique<Server>(ZK_TESTS_DIR "/rtmp-server", base + "/rtmp");
    QVERIFY(m_rtmp->up());
    QProcess listen; // the desk's monitor device is the default sink
    m_monitorPcm = base + "/monitor.raw";
    listen.setStandardOutputFile(m_monitorPcm);
    listen.start("parec", {"-d", "sinkA.monitor", "--raw", "--rate=48000", "--channels=2", "--format=s16le"});
    QVERIFY(listen.waitForStarted());
    // Two runs: the recording formats, a profile each; the rest in one
    // profile, with hotkeys bound and the stream.
    m_formats = runObs(base + "/formats", "formats", {"mkv"});
    m_run = runObs(base + "/zerka", "rounds", {"hybrid_mp4", "--keys"}, m_rtmp->url("e2e"));
    listen.terminate();
    listen.waitForFinished();
    for (const ObsRun *run : {&m_formats, &m_run})
        qInfo("OBS %s with Zerka exited with %d; operator: %s", qPrintable(run->results.value("obsVersion").toString()),
              run->exitCode, qPrintable(run->results.value("error").toString("no error")));
    m_plain = runObs(base + "/plain", "quit", {"--without-zerka"});
    for (const ObsRun *run : {&m_formats, &m_run}) {
        QVERIFY2(!run->log.isEmpty(), "OBS wrote no log");
        QVERIFY2(run->log.contains("[Zerka] 插件已加载  v" ZK_VERSION), "Zerka was not loaded");
        QVERIFY2(!run->results.contains("error"), qPrintable(run->results.value("error").toString()));
    }
}

int TestObs::obsMajor() const
{
    return m_run.results.value("obsVersion").toString().section('.', 0, 0).toInt();
}

QJsonObject TestObs::round(const QString &name) const
{
    for (const ObsRun *run : {&m_formats, &m_run})
        for (const QJsonValue &value : run->results.value("rounds").toArray())
            if (value.toObject().value("round").toString() == name)
                return value.toObject();
    return {};
}

void TestObs::replayOfEachRecordingFormat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addRow("Matroska, paused once") << "mkv paused";
    QTest::addRow("Hybrid MP4") << "hybrid_mp4";
    QTest::addRow("fragmented MP4") << "fragmented_mp4";
    if (obsMajor() >= 32)
        QTest::addRow("Hybrid MOV") << "hybrid_mov";
}

void TestObs::replayOfEachRecordingFormat()
{
    // The lane follows the growing recording behind its live edge, is
    // dragged back to 1 s, and once the recording stops plays on to the
    // last picture: from the first picture after the drag to the end of
    // the file, every picture of it exactly once, in order. The recorded
    // length the desk showed at the stop is the file's (a pause not counted).
    QFETCH(QString, name);
    const QJsonObject r = round(name);
    QVERIFY2(!r.isEmpty(), "the operator did not play this round");
    const QString file = r.value("files").toArray().at(0).toString();
    const int recorded = seconds(r.value("recordedLabel").toString());
    QVERIFY2(seconds(r.value("positionLabel").toString()) < recorded, "the lane was not behind the live edge");
    const double length = probeDuration(file);
    QVERIFY2(length - recorded > -0.5 && length - recorded < 2.0, qPrintable(QString("%1 s shown, the file has %2 s").arg(recorded).arg(length)));
    const auto shown = byFile(r.value("frames").toArray());
    QCOMPARE(shown.size(), 1);
    QVERIFY2(qAbs(shown.first().first().second - r.value("seekTo").toInt()) < 0.5, "the drag did not land at 1 s");
    const QString why = compareWithFile(shown.first(), pictureTimes(file));
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestObs::roadOfAShow()
{
    // A show in short (Hybrid MP4 split every 20 s, program paused and
    // slowed till it is two files behind, OBS's recording paused): program
    // went through every file, each from its first picture to its last, in
    // order, standing still at a seam only as long as opening it took. The
    // replay from each mark starts 5 s before it, back in the file before
    // for the mark just after a split.
    const QJsonObject r = round("road");
    QVERIFY2(!r.isEmpty(), "the operator did not play the road");
    const QJsonArray files = r.value("files").toArray();
    QCOMPARE(files.size(), 3);
    const auto shown = byFile(r.value("frames").toArray());
    QCOMPARE(shown.size(), files.size());
    double firstLength = 0;
    for (int i = 0; i < files.size(); ++i) {
        // Read while OBS writes it or once finished, a file's pictures have
        // the finished file's times (the sound's, too).
        const QVector<double> pictures = pictureTimes(files.at(i).toString());
        QVERIFY2(!pictures.isEmpty() && qAbs(shown[i].first().second - pictures.first()) < 0.002,
                 qPrintable(QString("file %1 began at %2 s").arg(i).arg(shown[i].first().second)));
        const QString why = compareWithFile(shown.at(i), pictures);
        QVERIFY2(why.isEmpty(), qPrintable(QString("file %1: %2").arg(i).arg(why)));
        if (i > 0)
            QVERIFY(shown[i].first().first - shown[i - 1].last().first < 1500);
        firstLength = i == 0 ? pictures.last() + 1 / 30.0 : firstLength;
    }
    const int mark1 = seconds(r.value("mark1").toString()), mark2 = seconds(r.value("mark2").toString());
    // "🔖 标记 N: 00:00:09 · OBS 章节": the mark's name is its time.
    QCOMPARE(r.value("replay1").toString(), QString("预览加载: 📺 即时回放 · 标记 2 (%1)").arg(r.value("mark2").toString().section(' ', 3, 3)));
    QCOMPARE(r.value("replay2").toString(), QString("预览加载: 📺 即时回放 · 标记 1 (%1)").arg(r.value("mark1").toString().section(' ', 3, 3)));
    const QJsonArray at = r.value("replayMs").toArray();
    const double first = firstFrom(r.value("other").toArray(), at.at(0).toInteger());
    const double second = firstFrom(r.value("other").toArray(), at.at(1).toInteger());
    // OBS signals a split once the encoder's delay has passed (up to a
    // second under load), and the mark just after it counts in the new file
    // from there: it lies that much further into the new file than its time says.
    QVERIFY2(first - (firstLength - 5 + mark2) > -0.6 && first - (firstLength - 5 + mark2) < 2.6,
             qPrintable(QString("from mark 2 (%1 s into the second file) to %2 s").arg(mark2).arg(first)));
    QVERIFY2(second - (mark1 - 5) > -0.6 && second - (mark1 - 5) < 1.6,
             qPrintable(QString("from mark 1 (%1 s) to %2 s").arg(mark1).arg(second)));
    // The reel: each mark's 8 s, mark 2's from the first file's end into
    // the second (up to a second less of the first file, as the split's
    // signal came late), each picture 1/30 s after the one before across
    // the joins.
    const QString reel = QFileInfo(files.at(0).toString()).dir().filePath(r.value("reel").toString().section("▶ ", 1));
    const QVector<double> times = pictureTimes(reel);
    QVERIFY2(times.size() >= 2 * 241 - 35 && times.size() <= 2 * 241 + 2,
             qPrintable(QString("%1 pictures in %2").arg(times.size()).arg(reel)));
    for (int i = 1; i < times.size(); ++i)
        QVERIFY2(qAbs(times[i] - times[i - 1] - 1 / 30.0) < 0.002, qPrintable(QString("%1 → %2").arg(times[i - 1]).arg(times[i])));
}

void TestObs::hotkeysBoundInObs()
{
    // Bound in OBS's configuration before the run: OBS saved them again at
    // its exit, through the module.
    QFile collection(m_run.dir + "/config/obs-studio/basic/scenes/Zerka.json");
    QVERIFY(collection.open(QIODevice::ReadOnly));
    const QJsonObject saved = QJsonDocument::fromJson(collection.readAll()).object();
    const QJsonObject keys = saved.value("modules").toObject().value("zerka_hotkeys").toObject();
    QCOMPARE(keys.value("zerka.take").toArray().at(0).toObject().value("key").toString(), QStringLiteral("OBS_KEY_F6"));
    QVERIFY(keys.contains("zerka.step_forward"));
}

void TestObs::remoteControlThroughObsWebsocket()
{
    // The operator as a remote control over obs-websocket (its own client,
    // through OBS's server): each request answered by Zerka's vendor; a bad
    // parameter refused with its reason; the swaps it asked for, and the
    // return to live, came back as the vendor's events.
    QVERIFY(m_run.log.contains("[Zerka] obs-websocket vendor \"zerka\": 17 个请求"));
    const QJsonObject remote = m_run.results.value("remote").toObject();
    const QJsonObject answers = remote.value("answers").toObject();
    QCOMPARE(answers.keys(), (QStringList{"after", "back", "export", "first", "in", "load", "out", "pause", "pause2", "resume",
                                          "slow", "state", "take", "takeFirst", "tooSlow", "unknown"}));
    auto answer = [&answers](const char *id) {
        return answers.value(id).toObject().value("responseData").toObject().value("responseData").toObject();
    };
    // A request the vendor does not have is refused by obs-websocket itself.
    for (const QString &id : answers.keys())
        QVERIFY2(answers.value(id).toObject().value("requestStatus").toObject().value("result").toBool() == (id != "unknown"),
                 qPrintable(id));
    QVERIFY(answer("state").contains("preview") && answer("state").value("recording") == false);
    for (const char *id : {"first", "takeFirst", "load", "slow", "take", "pause", "in", "resume", "pause2", "out", "export", "back"})
        QVERIFY2(answer(id).value("ok").toBool(), id);
    QCOMPARE(answer("tooSlow").value("error").toString(), QStringLiteral("参数 rate 必须在 0.1 到 1 之间"));
    QCOMPARE(answers.value("unknown").toObject().value("requestStatus").toObject().value("comment").toString(),
             QStringLiteral("No request was found by that name."));
    const QJsonObject program = answer("after").value("program").toObject();
    QCOMPARE(program.value("source").toString(), QStringLiteral("▶ blue.mkv"));
    QCOMPARE(program.value("speed").toDouble(), 0.3);
    QCOMPARE(remote.value("pgmTag").toString(), QStringLiteral("节目 PGM — ▶ blue.mkv · 0.3×"));
    // Each swap came back as the vendor's event, the return to what
    // program showed before blue too.
    QStringList swaps;
    for (const QJsonValue &e : remote.value("events").toArray())
        if (e.toObject().value("vendorName") == QLatin1String("zerka") && e.toObject().value("eventType") == QLatin1String("ProgramChanged"))
            swaps << e.toObject().value("eventData").toObject().value("program").toObject().value("source").toString();
    QCOMPARE(swaps, (QStringList{"▶ sync.mkv", "▶ blue.mkv", "▶ sync.mkv"}));

    // The clip exported in OBS: program's file from the in point's picture
    // to the out point's, each once.
    QJsonObject finished;
    for (const QJsonValue &e : remote.value("events").toArray())
        if (e.toObject().value("eventType") == QLatin1String("ExportFinished"))
            finished = e.toObject().value("eventData").toObject();
    const QString clip = finished.value("path").toString();
    QVERIFY2(!clip.isEmpty() && clip == answer("export").value("file").toString(),
             qPrintable(QJsonDocument(finished).toJson(QJsonDocument::Compact)));
    const double in = answer("out").value("in").toDouble(), out = answer("out").value("out").toDouble();
    const QVector<double> source = pictureTimes(program.value("path").toString());
    const auto pictures = std::count_if(source.begin(), source.end(), [&](double t) { return t > in - 0.01 && t < out + 0.01; });
    QVERIFY2(pictures >= 2, qPrintable(QString("%1 to %2").arg(in).arg(out)));
    QCOMPARE(pictureTimes(clip).size(), pictures);
    QCOMPARE(finished.value("pictures").toInt(), int(pictures));
}

void TestObs::programAsAnObsSource()
{
    // OBS 32.2 now and then exits with the program sources still held, so
    // its collection has none (tests/obs-session).
    if (obsMajor() >= 32)
        QSKIP("OBS 32.2: no program source in the collection");
    const QJsonObject f = round("features");
    const QString file = f.value("files").toArray().at(0).toString();
    QVERIFY2(QFileInfo(file).size() > 0, qPrintable(file));

    // Zerka's program as an OBS source: both instances in OBS's recording
    // of their scene show the clip (dark between its flashes) before the
    // swap and blue after it, with 1000 Hz. (The second instance is muted
    // in the scene: OBS places each source's sound on its own, and two
    // copies of one tone a fraction of a millisecond apart can cancel.)
    const double swap = f.value("swapMs").toDouble() / 1000.0;
    const struct { double at; QColor colour; } parts[] = {{1.5, Qt::black}, {swap + 1.5, Qt::blue}};
    for (const auto &part : parts) {
        const QVector<QColor> halves = pixelsOf(file, "scale=4:2", part.at, 1); // the middle of each half
        QCOMPARE(halves.size(), 8);
        for (const QColor &half : {halves[0], halves[3]}) {
            const int distance = qAbs(half.red() - part.colour.red()) + qAbs(half.blue() - part.colour.blue());
            QVERIFY2(distance < 90, qPrintable(QString("%1 at %2 s").arg(half.name()).arg(part.at)));
        }
    }
    // The tone of the middle one of ten 0.1 s windows: under this machine's
    // load OBS's mix drops a few tens of milliseconds now and then, its own
    // sources' sound too.
    const QByteArray pcm = soundOf(file, swap + 1.0, 1.0);
    QVector<std::pair<int, double>> windows;
    for (int i = 0; i < 10; ++i)
        windows << pitchAndLevel(pcm.mid(i * 19200, 19200));
    std::sort(windows.begin(), windows.end());
    QVERIFY2(qAbs(windows[5].first - 1000) < 40 && windows[5].second > 300, qPrintable(QString("%1 Hz").arg(windows[5].first)));
    // Each flash of the clip is heard with it, before slow motion and after
    // it (when the device's buffer fills again at once): OBS places the
    // source's sound by the moment it is heard.
    QString seen;
    const double slow = f.value("slowMs").toDouble() / 1000.0, normal = f.value("normalMs").toDouble() / 1000.0;
    const QVector<SyncMark> marks = syncMarks(file);
    for (const auto &[from, to] : {std::pair{0.5, slow - 0.3}, std::pair{normal + 0.5, swap - 0.3}}) {
        int heard = 0, inStep = 0;
        for (const SyncMark &mark : marks)
            if (mark.at >= from && mark.at < to) {
                seen += QString(" %1 s: %2 ms;").arg(mark.at).arg(qRound(mark.offsetMs));
                ++heard;
                inStep += qAbs(mark.offsetMs) < 60;
            }
        QVERIFY2(heard >= 2 && inStep == heard, qPrintable(seen));
    }
    qInfo("the program source's flashes and clicks in OBS's recording:%s", qPrintable(seen));
}

void TestObs::featuresBeyondTheButtons()
{
    const QJsonObject f = round("features");
    const QString file = f.value("files").toArray().at(0).toString();
    QVERIFY2(QFileInfo(file).size() > 0, qPrintable(file));

    QCOMPARE(f.value("noMarks").toString(), QStringLiteral("还没有标记 — 录制中按 \"Zerka: 标记\""));

    // Marks: each a chapter of the file named by its recorded time, at that time.
    const QRegularExpression markText("^🔖 标记 (\\d): (\\d\\d:\\d\\d:\\d\\d) · OBS 章节$");
    QStringList names;
    for (const char *key : {"mark1", "mark2"}) { // in the order made
        const QRegularExpressionMatch m = markText.match(f.value(key).toString());
        QVERIFY2(m.hasMatch(), qPrintable(f.value(key).toString()));
        names << m.captured(2);
    }
    QString chapters;
    run("ffprobe", {"-v", "error", "-show_chapters", "-of", "json", file}, &chapters);
    const QJsonArray list = QJsonDocument::fromJson(chapters.toUtf8()).object().value("chapters").toArray();
    QStringList titles;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject chapter = list.at(i).toObject();
        const QString title = chapter.value("tags").toObject().value("title").toString();
        const double start = chapter.value("start_time").toString().toDouble();
        if (i == 0 && title == "Start" && start == 0)
            continue; // OBS's own, before the first chapter added
        titles << title;
        // OBS places a chapter at the time its muxer has reached, which lags
        // the moment of the call by the encoder's delay (about 0.7 s here).
        QVERIFY2(start > seconds(title) - 1.0 && start < seconds(title) + 1.5, qPrintable(QString("%1 at %2 s").arg(title).arg(start)));
    }
    QCOMPARE(titles, names);

    // The replay from the newest mark, then, pressed again, the one before.
    QCOMPARE(f.value("replay1").toString(), QStringLiteral("预览加载: 📺 即时回放 · 标记 2 (%1)").arg(names[1]));
    QCOMPARE(f.value("replay2").toString(), QStringLiteral("预览加载: 📺 即时回放 · 标记 1 (%1)").arg(names[0]));
}

void TestObs::mainJobReachesEveryOutput()
{
    // The stream: pictures and sound for the time it ran.
    const QString received = m_rtmp->dir() + "/rec/e2e.flv";
    QString streams;
    run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height", "-of", "compact=p=0:nk=1", received},
        &streams);
    QVERIFY2(streams.trimmed().split('\n') == (QStringList{"h264|1920|1080", "aac"}),
             qPrintable(streams + "; the server logged:\n" + m_rtmp->output("log")));
    const double streamed = probeDuration(received);
    QVERIFY2(streamed > 3.0 && streamed < 7.0, qPrintable(QString::number(streamed)));

    // The second display shows program: the recording's colour bars.
    const QImage display(m_run.dir + "/out/display-B.png");
    QCOMPARE(display.size(), QSize(1920, 1080));
    int coloured = 0;
    for (int x = 40; x < 1920; x += 80)
        coloured += qGray(display.pixel(x, 540)) > 40;
    QVERIFY2(coloured > 15, qPrintable(QString("%1 of 24 points lit; %2").arg(coloured).arg(m_run.results.value("shown").toString())));
    QVERIFY(!QImage(m_run.dir + "/out/obs.png").isNull());

    // The monitor device played program's tone (preview is never heard).
    QFile file(m_monitorPcm);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray pcm = file.readAll();
    const auto *samples = reinterpret_cast<const qint16 *>(pcm.constData());
    qint64 loud = 0;
    for (qsizetype i = 0; i < pcm.size() / 2; ++i)
        loud += qAbs(samples[i]) > 1000;
    QVERIFY2(loud > 48000 * 2 * 3, qPrintable(QString("%1 loud samples").arg(loud)));
}

void TestObs::exitIsClean()
{
    // OBS exited by itself, the module stopped at the exit event and made
    // no frontend call after it, and it leaked nothing OBS counts.
    QCOMPARE(m_plain.exitCode, 0);
    for (const ObsRun *run : {&m_formats, &m_run}) {
        QCOMPARE(run->exitCode, 0);
        QVERIFY(run->log.contains("[Zerka] Dock 已关闭"));
        QVERIFY(run->log.contains("[Zerka] 插件已卸载"));
        QCOMPARE(run->log.count("Tried to call"), m_plain.log.count("Tried to call"));
        qInfo("memory leaks: %d with Zerka, %d without", memoryLeaks(run->log), memoryLeaks(m_plain.log));
        QVERIFY(memoryLeaks(run->log) >= 0 && memoryLeaks(run->log) <= memoryLeaks(m_plain.log));
    }
    // OBS 32's plug-in manager lists Zerka by the name and version of its
    // manifest (in the list it saves at start).
    if (obsMajor() >= 32) {
        QFile saved(m_run.dir + "/config/obs-studio/plugin_manager/modules.json");
        QVERIFY2(saved.open(QIODevice::ReadOnly), qPrintable(saved.fileName()));
        QJsonObject zerka;
        for (const QJsonValue &module : QJsonDocument::fromJson(saved.readAll()).array())
            if (module.toObject().value("module_name").toString() == "zerka")
                zerka = module.toObject();
        QCOMPARE(zerka.value("display_name").toString(), QStringLiteral("Zerka"));
        QCOMPARE(zerka.value("version").toString(), QStringLiteral(ZK_VERSION));
        QCOMPARE(zerka.value("id").toString(), QStringLiteral("zerka"));
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestObs test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_obs.moc"
