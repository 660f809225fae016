#pragma once

// The monitor-audio row: the device program is heard on, its volume and
// mute. The device and the volume are stored the moment they change; mute
// is never stored. The panel applies the row to the lanes when it reports
// a change (the device to both lanes, the level to program).

#include <QObject>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSlider;
class QWidget;

class MonitorAudio : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultVolume = 80;

    // Builds the row's widgets into `row`, children of `panel`.
    MonitorAudio(QWidget *panel, QHBoxLayout *row);

    // Fills the device list, choosing the stored device (or the system's
    // default), then restores the stored volume.
    void refreshAudioDevices();
    QByteArray deviceId() const;
    int volume() const;
    bool muted() const;

signals:
    void deviceChanged(const QByteArray &id);
    void levelChanged(); // volume or mute

private:
    void onAudioDeviceChanged(int index);
    void onVolumeChanged(int volume);

    QComboBox *audioDeviceCombo;
    QPushButton *muteButton;
    QSlider *volumeSlider;
    QLabel *volumeLabel;
};
