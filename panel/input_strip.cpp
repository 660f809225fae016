#include "input_strip.h"

#include "desk_settings.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr int kLabelMax = 20;  // longer file names are shortened
constexpr int kLabelKeep = 18; // to this many characters and an ellipsis
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

InputStrip::InputStrip(QWidget *panel, QVBoxLayout *root) : QObject(panel)
{
    auto *caption = new QLabel(QStringLiteral("──── 输入源(点击 → 进预览)────"), panel);
    caption->setStyleSheet(QStringLiteral("color:#666; font-size:11px;"));
    caption->setAlignment(Qt::AlignCenter);
    root->addWidget(caption);

    auto *scroll = new QScrollArea(panel);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setMaximumHeight(58);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("background: transparent;"));
    inputsContainer = new QWidget;
    inputsContainer->setObjectName(QStringLiteral("inputsContainer"));
    inputsLayout = new QHBoxLayout(inputsContainer);
    inputsLayout->setContentsMargins(0, 0, 0, 0);
    inputsLayout->setSpacing(6);
    scroll->setWidget(inputsContainer);
    root->addWidget(scroll);

    // Files gone since the last run are dropped; the setting is rewritten
    // only by the next add or remove.
    for (const QString &path : deskSettings().value(QStringLiteral("backupFiles")).toStringList())
        if (QFileInfo::exists(path))
            backupFiles << path;
    rebuildInputButtons();
}

bool InputStrip::isImageFile(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const char *image : kImageSuffixes)
        if (suffix == QLatin1String(image))
            return true;
    return false;
}

void InputStrip::saveBackupList()
{
    deskSettings().setValue(QStringLiteral("backupFiles"), backupFiles);
}

void InputStrip::rebuildInputButtons()
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
    connect(replay, &QPushButton::clicked, this, [this] { emit chosen(Source::InstantReplay, QString()); });
    inputsLayout->addWidget(replay);
    for (const QString &path : backupFiles)
        inputsLayout->addWidget(buildBackupEntry(path));
    auto *addButton = new QPushButton(QStringLiteral("＋ 添加"), inputsContainer);
    addButton->setMinimumHeight(44);
    connect(addButton, &QPushButton::clicked, this, &InputStrip::onAddBackup);
    inputsLayout->addWidget(addButton);
    inputsLayout->addStretch();
}

QWidget *InputStrip::buildBackupEntry(const QString &path)
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
            [this, path, image] { emit chosen(image ? Source::Image : Source::Video, path); });
    layout->addWidget(source);
    auto *removeButton = new QToolButton(holder);
    removeButton->setText(QStringLiteral("✕"));
    removeButton->setToolTip(QStringLiteral("从列表移除"));
    removeButton->setStyleSheet(QStringLiteral("QToolButton { color:#888; background:transparent; border:none; "
                                               "padding:2px; }QToolButton:hover { color:#d32f2f; }"));
    connect(removeButton, &QToolButton::clicked, this, [this, path] { removeBackup(path); });
    layout->addWidget(removeButton);
    return holder;
}

void InputStrip::removeBackup(const QString &path)
{
    // A lane playing the file keeps playing it.
    backupFiles.removeAll(path);
    saveBackupList();
    rebuildInputButtons();
}

void InputStrip::onAddBackup()
{
    const QStringList picked = QFileDialog::getOpenFileNames(
            inputsContainer, QStringLiteral("选择备播视频/图片(可多选)"), QString(),
            QStringLiteral("媒体文件 (*.mp4 *.mkv *.mov *.m4v *.flv *.ts *.png *.jpg *.jpeg *.bmp *.webp);;"
                           "视频 (*.mp4 *.mkv *.mov *.m4v *.flv *.ts);;图片 (*.png *.jpg *.jpeg *.bmp *.webp);;"
                           "所有文件 (*.*)"));
    if (!picked.isEmpty())
        addBackups(picked);
}

void InputStrip::addBackups(const QStringList &paths)
{
    for (const QString &path : paths)
        if (!backupFiles.contains(path))
            backupFiles << path;
    saveBackupList();
    rebuildInputButtons();
}
