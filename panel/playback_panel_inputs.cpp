// PlaybackPanel: the input sources. The persistent backup list, the strip
// of source buttons (rebuilt whole on every change, even from inside one of
// its own buttons' clicks), and loadToPreview, the one way a source (the
// host's recording as instant replay, a backup video or a still) reaches
// the preview lane.

#include "playback_panel.h"

#include "desk_settings.h"
#include "obs_compat.h"
#include "video_view.h"
#include "zk_player.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

namespace {

const QString kStatusStyle = QStringLiteral("color: #888; font-size: 11px;");
constexpr int kLabelMax = 20;     // longer file names are shortened
constexpr int kLabelKeep = 18;    // to this many characters and an ellipsis
constexpr double kReplayBehindSec = 120.0; // instant replay starts two minutes behind
const char *const kImageSuffixes[] = {"png", "jpg", "jpeg", "bmp", "webp", "gif", "tif", "tiff", "heic"};

QPushButton *sourceButton(const QString &text, const QString &tip, const QString &style, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setMinimumHeight(44);
    button->setToolTip(tip);
    button->setStyleSheet(style);
    return button;
}

} // namespace

bool PlaybackPanel::isImageFile(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const char *image : kImageSuffixes)
        if (suffix == QLatin1String(image))
            return true;
    return false;
}

void PlaybackPanel::loadBackupList()
{
    // Files gone since the last run are dropped; the setting is rewritten
    // only by the next add or remove.
    backupFiles.clear();
    for (const QString &path : deskSettings().value(QStringLiteral("backupFiles")).toStringList())
        if (QFileInfo::exists(path))
            backupFiles << path;
}

void PlaybackPanel::saveBackupList()
{
    deskSettings().setValue(QStringLiteral("backupFiles"), backupFiles);
}

void PlaybackPanel::rebuildInputButtons()
{
    // This can run inside the click of one of the buttons being removed:
    // widgets are deleted later, never here.
    while (QLayoutItem *item = inputsLayout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        delete item;
    }
    auto *replay = sourceButton(QStringLiteral("📺 即时回放"),
                                QStringLiteral("跟随正在录制的 PGM 文件(默认 2 分钟延时,可拖时间轴)"),
                                QStringLiteral("QPushButton { background:#1976d2; color:white; font-size:12px; "
                                               "font-weight:700; border:none; border-radius:5px; padding:0 14px; }"
                                               "QPushButton:hover { background:#1e88e5; }"),
                                inputsContainer);
    connect(replay, &QPushButton::clicked, this, [this] { loadToPreview(Channel::Live, QString()); });
    inputsLayout->addWidget(replay);
    for (const QString &path : backupFiles)
        inputsLayout->addWidget(buildBackupEntry(path));
    auto *add = new QPushButton(QStringLiteral("＋ 添加"), inputsContainer);
    add->setMinimumHeight(44);
    connect(add, &QPushButton::clicked, this, &PlaybackPanel::onAddBackup);
    inputsLayout->addWidget(add);
    inputsLayout->addStretch();
}

QWidget *PlaybackPanel::buildBackupEntry(const QString &path)
{
    const bool image = isImageFile(path);
    QString label = QFileInfo(path).fileName();
    if (label.size() > kLabelMax)
        label = label.left(kLabelKeep) + QChar(0x2026);
    auto *holder = new QWidget;
    auto *layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto *source = sourceButton((image ? QStringLiteral("🖼 ") : QStringLiteral("▶ ")) + label, path,
                                QStringLiteral("QPushButton { background:#3a3a3a; color:white; font-size:12px; "
                                               "border:1px solid #555; border-radius:5px; padding:0 12px; }"
                                               "QPushButton:hover { background:#4caf50; border-color:#3d8b40; }"),
                                holder);
    // Handlers hold the path, never a position in the list.
    connect(source, &QPushButton::clicked, this,
            [this, path, image] { loadToPreview(image ? Channel::Image : Channel::Video, path); });
    layout->addWidget(source);
    auto *remove = new QToolButton(holder);
    remove->setText(QStringLiteral("✕"));
    remove->setToolTip(QStringLiteral("从列表移除"));
    remove->setStyleSheet(QStringLiteral("QToolButton { color:#888; background:transparent; border:none; padding:2px; }"
                                         "QToolButton:hover { color:#d32f2f; }"));
    connect(remove, &QToolButton::clicked, this, [this, path] { removeBackup(path); });
    layout->addWidget(remove);
    return holder;
}

void PlaybackPanel::removeBackup(const QString &path)
{
    // A lane playing the file keeps playing it.
    backupFiles.removeAll(path);
    saveBackupList();
    rebuildInputButtons();
}

void PlaybackPanel::onAddBackup()
{
    const QStringList chosen = QFileDialog::getOpenFileNames(
            this, QStringLiteral("选择备播视频/图片(可多选)"), QString(),
            QStringLiteral("媒体文件 (*.mp4 *.mkv *.mov *.m4v *.flv *.ts *.png *.jpg *.jpeg *.bmp *.webp);;"
                           "视频 (*.mp4 *.mkv *.mov *.m4v *.flv *.ts);;图片 (*.png *.jpg *.jpeg *.bmp *.webp);;"
                           "所有文件 (*.*)"));
    if (chosen.isEmpty())
        return;
    for (const QString &path : chosen)
        if (!backupFiles.contains(path))
            backupFiles << path;
    saveBackupList();
    rebuildInputButtons();
}

void PlaybackPanel::loadToPreview(Channel::Type type, const QString &path)
{
    // A load that cannot succeed leaves the lane as it was, still playing.
    const bool loaded = type == Channel::Image ? loadImage(path) : type == Channel::Video ? loadVideo(path) : loadLive();
    if (!loaded)
        return;
    statusLabel->setStyleSheet(kStatusStyle);
    statusLabel->setText(QStringLiteral("预览加载: ") + pv->name());
    updateTags();
    updateTimelineRange();
}

bool PlaybackPanel::loadImage(const QString &path)
{
    // Read and check the picture before the lane gives up what it plays.
    const QImage picture(path);
    if (picture.isNull()) {
        statusLabel->setText(QStringLiteral("❌ 图片加载失败: ") + path);
        return false;
    }
    pv->player->close(); // a still sends no frames
    pv->still = picture.convertToFormat(QImage::Format_RGB32);
    pv->lastFrame = pv->still;
    pv->type = Channel::Image;
    pv->path = path;
    pvView->setFrame(pv->still);
    return true;
}

bool PlaybackPanel::loadVideo(const QString &path)
{
    // The player would refuse a missing or empty file only after closing
    // what the lane plays: refuse it here, with the player's own words.
    const QFileInfo info(path);
    if (!info.exists() || info.size() == 0) {
        onError(QStringLiteral("文件不存在或为空: %1").arg(path));
        return false;
    }
    openInPreview(Channel::Video, path, false, 0.0);
    return true;
}

bool PlaybackPanel::loadLive()
{
    const QString path = hostLastRecording();
    if (path.isEmpty()) {
        statusLabel->setText(QStringLiteral("OBS 当前没有录制 — 先点开始录制"));
        return false;
    }
    // The host also names its last recording after it has stopped: that
    // file is finished and plays to its end.
    const bool follow = obs_frontend_recording_active();
    const Channel *other = pv == &channelA ? &channelB : &channelA;
    const double start = other->type == Channel::Live && other->path == path && other->positionSec > 0
                                 ? other->positionSec
                                 : qMax(0.0, recordedSecs - kReplayBehindSec);
    openInPreview(Channel::Live, path, follow, start);
    return true;
}

void PlaybackPanel::openInPreview(Channel::Type type, const QString &path, bool follow, double startSec)
{
    if (path != pv->path) {
        // A new source: its duration is not known yet, and until its first
        // picture the lane shows black, never the source before it.
        pv->durationSec = 0.0;
        pv->lastFrame = QImage();
        pvView->setFrame(QImage());
    }
    pv->type = type;
    pv->path = path;
    pv->nextPath.clear(); // a split recording followed before goes on no more
    pv->player->setMuted(true);
    pv->player->open(path, follow, startSec);
}
