#pragma once

// The input strip: instant replay, the operator's backup files (videos
// and stills, kept in the settings) and the button that adds more through
// a file dialog. A click reports which source the operator wants in
// preview; loading it is the panel's business.

#include <QObject>
#include <QStringList>

class QHBoxLayout;
class QVBoxLayout;
class QWidget;

class InputStrip : public QObject {
    Q_OBJECT

public:
    enum class Source { InstantReplay, Video, Image };

    // Builds the caption and the strip into `root`, children of `panel`,
    // and fills it from the stored list.
    InputStrip(QWidget *panel, QVBoxLayout *root);

    static bool isImageFile(const QString &path);
    // At the end of the list (kept in the settings), unless it is there.
    void addBackup(const QString &path) { addBackups({path}); }

signals:
    void chosen(InputStrip::Source source, const QString &path);

private:
    void rebuildInputButtons();
    QWidget *buildBackupEntry(const QString &path);
    void onAddBackup();
    void addBackups(const QStringList &paths);
    void removeBackup(const QString &path);
    void saveBackupList();

    QWidget *inputsContainer;
    QHBoxLayout *inputsLayout;
    QStringList backupFiles;
};
