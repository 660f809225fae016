#include "support_dialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A number from the range reserved for fiction (555-0100 to 555-0199):
// the team answers through the website, no real line is published here.
const QString kNumber = QStringLiteral("+1 555 0142");
const QString kWebsite = QStringLiteral(ZK_WEBSITE); // the project's one address (CMakeLists.txt)

} // namespace

QString SupportDialog::contactNumber()
{
    return kNumber;
}

SupportDialog::SupportDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("支持 & 联系作者"));
    setStyleSheet(QStringLiteral("QDialog { background:#2b2b2b; }"));
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(10);

    auto *qr = new QLabel(this);
    const QPixmap picture(QStringLiteral(":/zerka/donate-qr.jpg"));
    if (picture.isNull())
        qr->setText(QStringLiteral("(二维码图片加载失败)"));
    else
        qr->setPixmap(picture.scaledToWidth(300, Qt::SmoothTransformation));
    qr->setAlignment(Qt::AlignCenter);
    layout->addWidget(qr);

    auto *contact = new QLabel(QStringLiteral("感谢使用 Zerka!扫码支持我们继续开发。\n\n联系人:Zerka 产品团队\n电话:%1").arg(kNumber),
                               this);
    contact->setAlignment(Qt::AlignCenter);
    contact->setStyleSheet(QStringLiteral("color:#ddd; font-size:13px; line-height:1.5;"));
    layout->addWidget(contact);

    auto *link = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:#4fc3f7;\">%1</a>").arg(kWebsite), this);
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    link->setAlignment(Qt::AlignCenter);
    layout->addWidget(link);

    auto *row = new QHBoxLayout;
    auto *copy = new QPushButton(QStringLiteral("📋 复制电话号码"), this);
    connect(copy, &QPushButton::clicked, this, [copy] {
        QGuiApplication::clipboard()->setText(kNumber, QClipboard::Clipboard);
        copy->setText(QStringLiteral("✅ 已复制"));
    });
    row->addWidget(copy);
    auto *close = new QPushButton(QStringLiteral("关闭"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}
