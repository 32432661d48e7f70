#include "mainwindow/FrmHelp.h"

#include "app/Theme.h"

#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace wispline
{

FrmHelp::FrmHelp(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Help"));

    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setPixmap(QPixmap(QStringLiteral(":/wispline/help.png")));
    Picture1->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    Picture1->setAccessibleName(QStringLiteral("Help"));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setText(QStringLiteral("Do you know..."));

    lblHelpText = new QLabel(this);
    lblHelpText->setObjectName(QStringLiteral("lblHelpText"));
    lblHelpText->setTextFormat(Qt::PlainText);
    lblHelpText->setWordWrap(true);
    lblHelpText->setMinimumWidth(twipsToPx(4500));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &FrmHelp::cmdOK_Click);

    auto* grid = new QGridLayout(this);
    grid->addWidget(Picture1, 0, 0, 2, 1);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(lblHelpText, 1, 1);
    grid->addWidget(cmdOK, 2, 1, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    Form_Load();
}

QString FrmHelp::helpText()
{
    return QStringLiteral("Press Function Key \"F2\" after selecting the name from the Message "
                          "Area, for sending a reply.\r\nReply can be sent to logged in users "
                          "only.");
}

void FrmHelp::Form_Load()
{
    applyThemeToWindow(this);
    lblHelpText->setText(helpText());
}

void FrmHelp::cmdOK_Click()
{
    accept();
}

} // namespace wispline
