// A test-only OBS module, installed beside Zerka in real OBS Studio by
// tests/obs-session. Once OBS has loaded, it shows the Zerka dock and plays
// the operator through the desk's own widgets, as a person would, writing
// down what it saw. ZK_OPERATOR names the job:
//   show   the dock shown and docked in a window sized for it; nothing else
//   demo   the desk's main job: record, instant replay into preview, swap it
//          to program, program full screen on the other display, stream it
//          to ZK_RTMP_URL, screenshots, wrap up, quit OBS
//   formats  test_obs's rounds of each recording format (results.json),
//          a profile each, then quit OBS
//   rounds   test_obs's rounds in one profile (Hybrid MP4): the features,
//          the main job (shorter), the road of a show; then quit OBS
//   quit   quit as soon as OBS has loaded (a run to compare against)
//   whole-show  bench/run show: a show of ZK_SHOW_MINUTES (bench/show_job.cpp)
// ZK_OPERATOR_OUT is the folder for what it writes.

#include "operator.h"

#include <algorithm>
#include <memory>

OBS_DECLARE_MODULE()

void say(const QString &text)
{
    blog(LOG_INFO, "[operator] %s", text.toUtf8().constData());
}

QDockWidget *Operator::dock() const
{
    QMainWindow *window = mainWindow();
    return window ? window->findChild<QDockWidget *>(QStringLiteral("zerka_plavo_dock")) : nullptr;
}

QWidget *Operator::desk() const
{
    return dock() ? dock()->widget() : nullptr;
}

QWidget *Operator::panel() const
{
    QWidget *root = desk();
    return root ? root->findChild<QWidget *>(QStringLiteral("playbackPanel")) : nullptr;
}

QAbstractButton *Operator::button(const QString &start) const
{
    if (QWidget *root = desk())
        for (QAbstractButton *b : root->findChildren<QAbstractButton *>())
            if (b->text().startsWith(start))
                return b;
    return nullptr;
}

QString Operator::labelText(const char *name) const
{
    QWidget *root = desk();
    auto *label = root ? root->findChild<QLabel *>(QString::fromLatin1(name)) : nullptr;
    return label ? label->text() : QString();
}

void Operator::click(const QString &start)
{
    if (QAbstractButton *b = button(start))
        b->click();
    else
        fail(QStringLiteral("no button \"%1\" on the desk").arg(start));
}

void Operator::act(const QString &what, std::function<void()> action)
{
    m_steps.push_back({what, [action](qint64) { action(); return true; }, 0});
}

void Operator::wait(qint64 ms)
{
    m_steps.push_back({QString(), [ms](qint64 elapsed) { return elapsed >= ms; }, ms + 1000});
}

void Operator::waitUntil(const QString &what, std::function<bool()> condition, qint64 timeoutMs)
{
    m_steps.push_back({what, [condition](qint64) { return condition(); }, timeoutMs});
}

void Operator::at(qint64 ms, const QString &what, std::function<void()> action)
{
    waitUntil(QString(), [this, ms] { return m_recording.elapsed() >= ms; }, ms + 60000);
    act(what, std::move(action));
}

void Operator::start()
{
    m_wall.start();
    if (m_job != QLatin1String("quit"))
        showDock();
    if (m_job == QLatin1String("show"))
        return;
    if (m_job == QLatin1String("demo"))
        planDemo(2);
    else if (m_job == QLatin1String("formats"))
        planFormats();
    else if (m_job == QLatin1String("rounds"))
        planRounds();
    else if (m_job == QLatin1String("whole-show"))
        planShow(qEnvironmentVariableIntValue("ZK_SHOW_MINUTES"));

    else
        wait(1000);
    act(QStringLiteral("closes OBS"), [this] { quit(); });
    connect(&m_ticker, &QTimer::timeout, this, &Operator::tick);
    m_ticker.start(50);
    m_stepClock.start();
}

void Operator::tick()
{
    while (!m_failed && m_next < m_steps.size()) {
        Step &step = m_steps[m_next];
        if (!step.run(m_stepClock.elapsed())) {
            if (step.timeoutMs > 0 && m_stepClock.elapsed() > step.timeoutMs)
                fail(QStringLiteral("timed out: %1").arg(step.what));
            return;
        }
        if (!step.what.isEmpty())
            say(step.what);
        ++m_next;
        m_stepClock.restart();
    }
}

void Operator::fail(const QString &why)
{
    if (m_failed)
        return;
    m_failed = true;
    blog(LOG_ERROR, "[operator] %s", why.toUtf8().constData());
    m_results.insert(QStringLiteral("error"), why);
    if (obs_frontend_recording_active())
        obs_frontend_recording_stop();
    // Quit once the recording is finished, so that OBS exits cleanly.
    QTimer::singleShot(3000, this, [this] { quit(); });
}

void Operator::quit()
{
    m_ticker.stop();
    writeResults();
    if (QMainWindow *window = mainWindow())
        QMetaObject::invokeMethod(window, "close", Qt::QueuedConnection);
}

void Operator::writeResults()
{
    if (m_job != QLatin1String("formats") && m_job != QLatin1String("rounds") && m_job != QLatin1String("whole-show")
        && !m_failed)
        return;
    m_results.insert(QStringLiteral("rounds"), m_rounds);
    m_results.insert(QStringLiteral("obsVersion"), QString::fromUtf8(obs_get_version_string()));
    QFile file(m_out.filePath(QStringLiteral("results.json")));
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(m_results).toJson());
}

void Operator::showDock()
{
    // OBS adds a module's dock hidden (listed under Docks); an operator
    // ticks it once, and OBS keeps it shown from then on.
    QMainWindow *window = mainWindow();
    QDockWidget *zerka = dock();
    if (!zerka) {
        fail(QStringLiteral("OBS has no Zerka dock"));
        return;
    }
    const QRect screen = window->screen()->availableGeometry();
    window->setGeometry(screen.x(), screen.y(), qMin(screen.width(), 1900), qMin(screen.height(), 1050));
    zerka->setFloating(false);
    zerka->show();
    zerka->raise();
    window->resizeDocks({zerka}, {1000}, Qt::Horizontal);
    // Players, found by class: this module does not share their headers
    // (only the pictures' type, which every engine shares).
    if (QWidget *desk = panel()) {
        for (QObject *child : desk->findChildren<QObject *>()) {
            if (!child->inherits("ZKPlayer"))
                continue;
            if (!connect(child, SIGNAL(frameReady(Picture, double)), this, SLOT(onFrame(Picture, double))))
                fail(QStringLiteral("the players' pictures cannot be followed"));
            // The state is an enum this module does not know: connected by
            // index (no signature check) and read back by its key.
            const QMetaObject *meta = child->metaObject();
            QMetaObject::connect(child, meta->indexOfSignal("stateChanged(ZKPlayer::State)"), this,
                                 metaObject()->indexOfSlot("onState(int)"), Qt::DirectConnection);
        }
    }
}

void Operator::onFrame(const Picture &, double pts)
{
    m_frames[sender()].append(QJsonArray{m_wall.elapsed(), pts});
}

void Operator::onState(int state)
{
    const QMetaObject *meta = sender()->metaObject();
    const QMetaEnum states = meta->enumerator(meta->indexOfEnumerator("State"));
    if (qstrcmp(states.valueToKey(state), "Finished") == 0)
        ++m_finished[sender()];
}

void Operator::timelineSeek(int seconds)
{
    // As a drag would: press, move, release (the desk seeks on release).
    QSlider *timeline = nullptr;
    if (QWidget *desk = panel())
        for (QSlider *slider : desk->findChildren<QSlider *>())
            if (slider->inherits("TimelineSlider"))
                timeline = slider;
    if (!timeline || !timeline->isEnabled()) {
        fail(QStringLiteral("the timeline cannot be dragged"));
        return;
    }
    QMetaObject::invokeMethod(timeline, "sliderPressed");
    timeline->setValue(seconds);
    QMetaObject::invokeMethod(timeline, "sliderReleased");
}

// The desk's main job, from the recording to the stream; `scale` stretches
// its waits (2 for the demo, so that there is more to see).
void Operator::planDemo(int scale)
{
    act(QStringLiteral("starts recording with the dock's button"), [this] { click(QStringLiteral("🔴  开始录制")); });
    waitUntil(QStringLiteral("OBS records"), [] { return obs_frontend_recording_active(); }, 10000);
    wait(4000 * scale);
    act(QStringLiteral("brings the instant replay into preview"), [this] { click(QStringLiteral("📺 即时回放")); });
    wait(2000 * scale);
    act(QStringLiteral("swaps it to program"), [this] { click(QStringLiteral("⇄")); });
    wait(1000);
    // The desk offers a display other than OBS's own first.
    act(QStringLiteral("puts program full screen on the other display"), [this] { click(QStringLiteral("🟢  HDMI")); });
    const QString url = qEnvironmentVariable("ZK_RTMP_URL");
    if (!url.isEmpty()) {
        act(QStringLiteral("streams program to %1").arg(url), [this, url] { startStream(url); });
        wait(4000 * scale);
    }
    act(QStringLiteral("takes the screenshots"), [this] { screenshots(); });
    act(QStringLiteral("stops the stream and the screen output"), [this] { stopOutputs(); });
    planStop();
}

void Operator::startStream(const QString &url)
{
    for (QLineEdit *edit : desk()->findChildren<QLineEdit *>())
        if (edit->placeholderText().startsWith(QLatin1String("rtmp://")))
            edit->setText(url);
    click(QStringLiteral("▶ 开始推流"));
}

void Operator::stopOutputs()
{
    if (QAbstractButton *stream = button(QStringLiteral("⏹ 停止推流")))
        stream->click();
    if (QAbstractButton *hdmi = button(QStringLiteral("🔴  HDMI")))
        hdmi->click();
}

void Operator::screenshots(const QString &suffix)
{
    // From the displays, not from the widgets: what an operator sees,
    // OBS's own preview included.
    QMainWindow *window = mainWindow();
    const QRect area = window->frameGeometry();
    window->screen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(m_out.filePath("obs" + suffix + ".png"));
    for (QScreen *screen : QGuiApplication::screens())
        if (screen != window->screen())
            screen->grabWindow(0).save(m_out.filePath(QStringLiteral("display-%1%2.png").arg(screen->name(), suffix)));
    // Which windows stood where, for a test that finds a display other than it expects.
    QStringList windows{labelText("pgmTag")};
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->isVisible())
            windows << QString::fromLatin1(top->metaObject()->className()) + " on " + top->screen()->name();
    m_results.insert(QStringLiteral("shown"), windows.join(QStringLiteral("; ")));
}

// The end-to-end rounds, in two runs of OBS. Each recording format (Hybrid
// MOV from OBS 32), in a profile of its own, and a pause:
void Operator::planFormats()
{
    planRound(QStringLiteral("mkv"), true);
    planRound(QStringLiteral("hybrid_mp4"), false);
    planRound(QStringLiteral("fragmented_mp4"), false);
    if (obs_get_version() >= MAKE_SEMANTIC_VERSION(32, 0, 0))
        planRound(QStringLiteral("hybrid_mov"), false);
}

// Then, in the Hybrid MP4 profile OBS starts with: the features, the main
// job, and the road of a show last (after a split Hybrid MP4 recording
// OBS 30.2 writes the next one's sound wrongly, OBS's issue 11772, mended
// in OBS 32).
void Operator::planRounds()
{
    planRemote();
    planFeatures();
    planDemo(1);
    planRoad();
}

// A recording starts in `format` with the dock's button; the notes of
// `round` begin, and the pictures shown are counted from here.
void Operator::planRecording(const QString &round, const QString &format, const QString &what)
{
    act(what, [this, round, format] {
        m_round = QJsonObject{{"round", round}};
        useProfile(format);
    });
    wait(1000);
    act(QString(), [this] { click(QStringLiteral("🔴  开始录制")); });
    waitUntil(QStringLiteral("OBS records"), [] { return obs_frontend_recording_active(); }, 10000);
    act(QString(), [this] {
        m_recording.start();
        m_round.insert("files", QJsonArray{lastRecording()});
        m_frames.clear();
        m_finished.clear();
    });
}

void Operator::planStop()
{
    act(QStringLiteral("stops the recording with the dock's button"), [this] { click(QStringLiteral("⏹  停止录制")); });
    waitUntil(QStringLiteral("the recording is finished"), [] { return !obs_frontend_recording_active(); }, 30000);
}

void Operator::planSplit()
{
    act(QStringLiteral("splits the recording"), [this] {
        if (!obs_frontend_recording_split_file())
            fail(QStringLiteral("OBS did not split the recording"));
    });
    waitUntil(QStringLiteral("OBS writes the next file"), [this] {
        const QString path = lastRecording();
        QJsonArray files = m_round.value("files").toArray();
        if (path.isEmpty() || path == files.last().toString())
            return false;
        files.append(path);
        m_round.insert("files", files);
        return true;
    }, 10000);
}

// Once the lane that played the round has reached the end of each of its
// `ends` files: its pictures ("frames", [wall ms, pts]) and those of the
// other lane ("other"), and the round is done.
void Operator::keepFrames(int ends)
{
    auto lane = [this] {
        QObject *most = nullptr;
        for (auto it = m_frames.begin(); it != m_frames.end(); ++it)
            if (!most || it.value().size() > m_frames.value(most).size())
                most = it.key();
        return most;
    };
    waitUntil(QStringLiteral("the lane played to its end"), [this, lane, ends] {
        return lane() && m_finished.value(lane()) >= ends;
    }, 90000);
    act(QString(), [this, lane] {
        for (auto it = m_frames.begin(); it != m_frames.end(); ++it)
            m_round.insert(it.key() == lane() ? "frames" : "other", it.value());
        m_rounds.append(m_round);
    });
}

// One recording, followed by the instant replay in preview: dragged on the
// timeline while it grows, then played on to its last picture once the
// recording stops. With `pause` the recording is paused for 4 s.
void Operator::planRound(const QString &format, bool pause)
{
    constexpr int kSeekTo = 1;
    planRecording(format + (pause ? " paused" : ""), format,
                  QStringLiteral("records in %1%2").arg(format, pause ? " (paused once)" : ""));
    wait(3000);
    act(QStringLiteral("brings the instant replay into preview"), [this] { click(QStringLiteral("📺 即时回放")); });
    wait(2000);
    act(QStringLiteral("drags the timeline back to 1 s"), [this] {
        m_frames.clear();
        m_finished.clear();
        timelineSeek(kSeekTo);
        m_round.insert("seekTo", kSeekTo);
    });
    if (pause) {
        wait(1000);
        act(QStringLiteral("pauses the recording in OBS"), [] { obs_frontend_recording_pause(true); });
        wait(4000);
        act(QStringLiteral("resumes it"), [] { obs_frontend_recording_pause(false); });
    }
    wait(3000);
    act(QString(), [this] {
        // What the desk shows while the recording still grows: the recorded
        // length and how far the lane is behind it.
        m_round.insert("recordedLabel", labelText("totalLabel"));
        m_round.insert("positionLabel", labelText("posLabel"));
    });
    planStop();
    keepFrames(1);
}

// A show in short, in Hybrid MP4: OBS splits the recording every 20 s;
// program follows it from its start and falls two files behind (paused
// for 19 s, then slowed for 6), OBS's recording is paused for 4 s, a mark
// before the first split and one just after it, the replay from the marks
// (the newest, then the one before), and their reel once the recording
// stopped. Program goes on through every file, from its first picture to
// its last, to the recording's end.
void Operator::planRoad()
{
    planRecording(QStringLiteral("road"), QStringLiteral("hybrid_mp4"), QStringLiteral("records the road, split every 20 s"));
    at(2000, QStringLiteral("puts the instant replay on program"), [this] {
        m_frames.clear(); // the lanes may still be showing what they played before
        click(QStringLiteral("📺 即时回放"));
        QTimer::singleShot(500, this, [this] { click(QStringLiteral("⇄")); });
    });
    at(8000, QStringLiteral("pauses program"), [this] { click(QStringLiteral("⏯ 节目")); });
    at(9000, QStringLiteral("marks"), [this] {
        triggerHotkey("zerka.mark");
        noteSoon("mark1", "statusLabel");
    });
    at(20000, QString(), [] {});
    planSplit();
    at(21000, QStringLiteral("marks"), [this] {
        triggerHotkey("zerka.mark");
        noteSoon("mark2", "statusLabel");
    });
    at(27000, QStringLiteral("resumes program, slowed"), [this] {
        click(QStringLiteral("⏯ 节目"));
        triggerHotkey("zerka.slow_program");
    });
    at(33000, QStringLiteral("back to 1x"), [this] {
        triggerHotkey("zerka.slow_program");
        triggerHotkey("zerka.slow_program");
    });
    at(34000, QStringLiteral("pauses the recording in OBS for 4 s"), [] { obs_frontend_recording_pause(true); });
    at(38000, QString(), [] { obs_frontend_recording_pause(false); });
    at(40000, QString(), [] {});
    planSplit();
    at(47000, QStringLiteral("replays from the newest mark, then from the one before"), [this] {
        triggerHotkey("zerka.replay_mark");
        m_round.insert("replayMs", QJsonArray{m_wall.elapsed()});
        noteSoon("replay1", "statusLabel");
        QTimer::singleShot(1500, this, [this] {
            triggerHotkey("zerka.replay_mark");
            m_round.insert("replayMs", QJsonArray{m_round.value("replayMs").toArray().at(0), m_wall.elapsed()});
            noteSoon("replay2", "statusLabel");
        });
    });
    at(50000, QString(), [] {});
    planStop();
    act(QStringLiteral("makes the reel of the marks"), [this] { triggerHotkey("zerka.reel"); });
    waitUntil(QStringLiteral("the reel is in preview"), [this] {
        const QString tag = labelText("pvTag");
        if (tag.contains(QStringLiteral("集锦")))
            note("reel", tag);
        return tag.contains(QStringLiteral("集锦"));
    }, 120000);
    keepFrames(3);
}

// A hotkey of Zerka's by its name, pressed as a remote controller presses
// it (obs-websocket's TriggerHotkeyByName): through OBS's routed callback.
void Operator::triggerHotkey(const char *name)
{
    const obs_hotkey_id id = hotkeyByName(name);
    if (id == OBS_INVALID_HOTKEY_ID) {
        fail(QStringLiteral("no hotkey %1").arg(QString::fromLatin1(name)));
        return;
    }
    obs_hotkey_trigger_routed_callback(id, true);
    obs_hotkey_trigger_routed_callback(id, false);
}

void Operator::setScene(const char *name)
{
    obs_source_t *scene = obs_get_source_by_name(name);
    if (!scene) {
        fail(QStringLiteral("no scene %1").arg(QString::fromUtf8(name)));
        return;
    }
    obs_frontend_set_current_scene(scene);
    obs_source_release(scene);
}

void Operator::note(const QString &key, const QJsonValue &value)
{
    m_round.insert(key, value);
}

void Operator::noteSoon(const char *key, const char *label)
{
    // What the desk shows once it has handled the press.
    QTimer::singleShot(300, this, [this, key, label] { note(QString::fromLatin1(key), labelText(label)); });
}

// Whether the collection has the scene of Zerka's program (tests/obs-session
// leaves it out in OBS 32: OBS 32.2 now and then exits with its sources held).
bool Operator::showsProgramScene()
{
    obs_source_t *scene = obs_get_source_by_name("Program");
    obs_source_release(scene);
    return scene != nullptr;
}

void Operator::useProfile(const QString &name)
{
    char *profile = obs_frontend_get_current_profile();
    if (QString::fromUtf8(profile) != name)
        obs_frontend_set_current_profile(name.toUtf8().constData());
    bfree(profile);
}

// Beyond the buttons, in a Hybrid MP4 recording of the scene "Program" (two
// Zerka program sources, where it is shown): the flash-and-click clip on program (slowed to
// 1/2x for 2 s and back), blue in preview, swapped 10 s in; a mark before
// and after the swap. A new recording has no marks to replay; after it,
// the replay from its marks (twice). Through the hotkeys as a remote
// controller sends them.
void Operator::planFeatures()
{
    act(QStringLiteral("puts the clip on program and blue in preview, and shows the scene of Zerka's program"), [this] {
        click(QStringLiteral("▶ sync.mkv"));
        click(QStringLiteral("⇄"));
        click(QStringLiteral("▶ blue.mkv"));
        if (showsProgramScene())
            setScene("Program");
    });
    planRecording(QStringLiteral("features"), QStringLiteral("hybrid_mp4"), QStringLiteral("records the scene"));
    act(QString(), [this] {
        triggerHotkey("zerka.replay_mark");
        noteSoon("noMarks", "statusLabel");
    });
    at(3000, QStringLiteral("marks, slows program to 1/2x for 2 s, swaps, marks"), [this] {
        triggerHotkey("zerka.mark");
        noteSoon("mark1", "statusLabel");
    });
    at(4000, QString(), [this] {
        triggerHotkey("zerka.slow_program");
        note("slowMs", m_recording.elapsed());
    });
    at(6000, QString(), [this] {
        triggerHotkey("zerka.slow_program");
        triggerHotkey("zerka.slow_program");
        note("normalMs", m_recording.elapsed());
    });
    at(10000, QString(), [this] {
        click(QStringLiteral("⇄"));
        note("swapMs", m_recording.elapsed());
    });
    at(11000, QString(), [this] {
        triggerHotkey("zerka.mark");
        noteSoon("mark2", "statusLabel");
    });
    at(14000, QString(), [] {});
    planStop();
    act(QStringLiteral("replays from the newest mark, then from the one before"), [this] {
        triggerHotkey("zerka.replay_mark");
        QTimer::singleShot(300, this, [this] {
            note("replay1", labelText("statusLabel"));
            triggerHotkey("zerka.replay_mark");
            QTimer::singleShot(300, this, [this] { note("replay2", labelText("statusLabel")); });
        });
    });
    wait(2000);
    act(QStringLiteral("takes the screenshots with the marks"), [this] {
        screenshots(QStringLiteral("-features"));
        if (showsProgramScene())
            setScene("Scene");
        m_rounds.append(m_round);
    });
}

namespace {

void onFrontendEvent(enum obs_frontend_event event, void *)
{
    static Operator *op = nullptr;
    if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING && !op) {
        const QString job = qEnvironmentVariable("ZK_OPERATOR", QStringLiteral("show"));
        say(QStringLiteral("job: %1").arg(job));
        op = new Operator(job);
        // After every module has seen the event: OBS calls the callbacks
        // last registered first, so Zerka builds its dock after this one.
        QTimer::singleShot(500, op, [] { op->start(); });
    } else if (event == OBS_FRONTEND_EVENT_EXIT && op) {
        delete op;
        op = nullptr;
    }
}

} // namespace

bool obs_module_load(void)
{
    obs_frontend_add_event_callback(onFrontendEvent, nullptr);
    return true;
}


// As a Stream Deck or Companion drives the desk: through obs-websocket's
// CallVendorRequest to the vendor "zerka", with parameters; a bad one is
// answered with its reason; the swap comes back as the vendor's event.
void Operator::planRemote()
{
    act(QStringLiteral("connects to obs-websocket as a remote control"), [this] {
        QFile config(qEnvironmentVariable("XDG_CONFIG_HOME") + "/obs-studio/plugin_config/obs-websocket/config.json");
        const int port = config.open(QIODevice::ReadOnly)
                                 ? QJsonDocument::fromJson(config.readAll()).object().value("server_port").toInt()
                                 : 0;
        m_ws.onError = [this](const QString &why) { fail(QStringLiteral("obs-websocket: ") + why); };
        m_ws.onMessage = [this](int op, const QJsonObject &d) {
            if (op == 7) // a request's response
                m_answers.insert(d.value("requestId").toString(), d);
            else if (op == 5 && d.value("eventType").toString() == QLatin1String("VendorEvent"))
                m_events.append(d.value("eventData"));
        };
        m_ws.open(quint16(port));
    });
    waitUntil(QStringLiteral("obs-websocket identifies the remote control"), [this] { return m_ws.identified(); },
              15000);
    remote("state", "GetState");
    remote("first", "LoadFile", {{"path", m_out.absoluteFilePath("../media/sync.mkv")}});
    remote("takeFirst", "Take");
    remote("load", "LoadFile", {{"path", m_out.absoluteFilePath("../media/blue.mkv")}});
    remote("tooSlow", "SetSpeed", {{"lane", "preview"}, {"rate", 0.05}});
    remote("slow", "SetSpeed", {{"lane", "preview"}, {"rate", 0.3}});
    remote("take", "Take");
    remote("unknown", "Jump");
    remote("after", "GetState");
    waitUntil(QStringLiteral("the vendor's event of the swap"), [this] { return !m_events.isEmpty(); }, 5000);
    // A clip of program's file, its points set on paused pictures a moment
    // apart, exported while OBS runs.
    remote("pause", "SetPaused", {{"lane", "program"}, {"paused", true}});
    wait(300);
    remote("in", "SetIn");
    remote("resume", "SetPaused", {{"lane", "program"}, {"paused", false}});
    wait(1500);
    remote("pause2", "SetPaused", {{"lane", "program"}, {"paused", true}});
    wait(300);
    remote("out", "SetOut");
    remote("export", "ExportClip");
    waitUntil(QStringLiteral("the vendor's event of the clip's end"), [this] {
        for (const QJsonValue &event : std::as_const(m_events))
            if (event.toObject().value("eventType").toString() == QLatin1String("ExportFinished"))
                return true;
        return false;
    }, 60000);
    // Back to what program showed before blue, which played on in preview.
    auto tag = std::make_shared<QString>();
    act(QString(), [this, tag] { *tag = labelText("pgmTag"); });
    remote("back", "ReturnToLive");
    waitUntil(QStringLiteral("the vendor's event of the return"), [this] {
        return std::count_if(m_events.begin(), m_events.end(), [](const QJsonValue &event) {
                   return event.toObject().value("eventType").toString() == QLatin1String("ProgramChanged");
               }) == 3;
    }, 5000);
    act(QString(), [this, tag] {
        m_results.insert("remote", QJsonObject{{"answers", m_answers}, {"events", m_events}, {"pgmTag", *tag}});
        m_ws.close(); // the next round loads both lanes anew, at 1x
    });
}

void Operator::remote(const QString &id, const char *type, const QJsonObject &params)
{
    act(QString(), [this, id, type, params] {
        m_ws.send(6, QJsonObject{{"requestType", "CallVendorRequest"},
                                 {"requestId", id},
                                 {"requestData", QJsonObject{{"vendorName", "zerka"},
                                                             {"requestType", type},
                                                             {"requestData", params}}}});
    });
    waitUntil(QStringLiteral("obs-websocket answers %1").arg(QLatin1String(type)),
              [this, id] { return m_answers.contains(id); }, 10000);
}
