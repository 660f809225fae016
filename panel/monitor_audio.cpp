#include "monitor_audio.h"

#include "desk_style.h"

#include <QAudioDevice>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QSignalBlocker>
#include <QSlider>

namespace {

const QString kMuteStyle = QStringLiteral(
        "QPushButton { background:#3a3a3a; color:white; font-weight:600; font-size:12px; border:1px solid #555; "
        "border-radius:5px; padding:0 8px; }QPushButton:hover { border-color:#888; }QPushButton:checked { "
        "background:#d32f2f; border-color:#b22222; color:white; }");

} // namespace

MonitorAudio::MonitorAudio(QWidget *panel, QHBoxLayout *row) : QObject(panel)
{
    row->addWidget(new QLabel(QStringLiteral("🎧 监听:"), panel));
    audioDeviceCombo = new QComboBox(panel);
    audioDeviceCombo->setObjectName(QStringLiteral("audioDeviceCombo"));
    audioDeviceCombo->setMinimumWidth(160);
    connect(audioDeviceCombo, &QComboBox::currentIndexChanged, this, &MonitorAudio::onAudioDeviceChanged);
    row->addWidget(audioDeviceCombo, 1);
    muteButton = deskButton(QStringLiteral("静音"), 28, QString(), panel);
    muteButton->setObjectName(QStringLiteral("muteButton"));
    muteButton->setMinimumWidth(50);
    muteButton->setCheckable(true);
    muteButton->setStyleSheet(kMuteStyle);
    connect(muteButton, &QPushButton::toggled, this, &MonitorAudio::levelChanged);
    row->addWidget(muteButton);
    volumeSlider = new QSlider(Qt::Horizontal, panel);
    volumeSlider->setObjectName(QStringLiteral("volumeSlider"));
    volumeSlider->setRange(0, 100);
    volumeSlider->setValue(kDefaultVolume);
    volumeSlider->setMaximumWidth(110);
    connect(volumeSlider, &QSlider::valueChanged, this, &MonitorAudio::onVolumeChanged);
    row->addWidget(volumeSlider);
    volumeLabel = new QLabel(QString::number(kDefaultVolume), panel);
    volumeLabel->setObjectName(QStringLiteral("volumeLabel"));
    volumeLabel->setMinimumWidth(28);
    volumeLabel->setStyleSheet(QStringLiteral("color:#888; font-family:Menlo;"));
    row->addWidget(volumeLabel);
}

void MonitorAudio::refreshAudioDevices()
{
    {
        const QSignalBlocker blocker(audioDeviceCombo); // restoring a choice writes nothing
        audioDeviceCombo->clear();
        const QByteArray saved = deskSettings().value(QStringLiteral("audioDeviceId")).toByteArray();
        audioDeviceCombo->addItem(QStringLiteral("系统默认"), QByteArray());
        int selected = 0;
        for (const QAudioDevice &device : QMediaDevices::audioOutputs()) {
            if (device.id() == saved)
                selected = audioDeviceCombo->count();
            audioDeviceCombo->addItem(device.description(), device.id());
        }
        audioDeviceCombo->setCurrentIndex(selected);
    }
    emit deviceChanged(deviceId());
    // A stored 80 changes nothing and so writes nothing back.
    volumeSlider->setValue(deskSettings().value(QStringLiteral("volume"), kDefaultVolume).toInt());
}

QByteArray MonitorAudio::deviceId() const
{
    return audioDeviceCombo->currentData().toByteArray();
}

int MonitorAudio::volume() const
{
    return volumeSlider->value();
}

bool MonitorAudio::muted() const
{
    return muteButton->isChecked();
}

void MonitorAudio::onAudioDeviceChanged(int index)
{
    if (index < 0)
        return;
    const QByteArray id = deviceId();
    deskSettings().setValue(QStringLiteral("audioDeviceId"), id);
    emit deviceChanged(id);
}

void MonitorAudio::onVolumeChanged(int volume)
{
    volumeLabel->setText(QString::number(volume));
    deskSettings().setValue(QStringLiteral("volume"), volume);
    emit levelChanged();
}
