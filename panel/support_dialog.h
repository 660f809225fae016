#pragma once

// The support dialog: a QR code to scan for a donation, who to contact and
// how, the makers' website, a button that copies the contact number and a
// close button. Built afresh for each opening; nothing is stored.

#include <QDialog>

class SupportDialog : public QDialog {
    Q_OBJECT

public:
    explicit SupportDialog(QWidget *parent);

    static QString contactNumber();
};
