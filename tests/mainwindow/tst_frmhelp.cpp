#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Theme.h"
#include "mainwindow/FrmHelp.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <memory>

using namespace wispline;

class TestFrmHelp : public QObject
{
    Q_OBJECT
    std::unique_ptr<test::Seams> seams_;

private slots:
    void init()
    {
        seams_ = std::make_unique<test::Seams>();
        resetSession();
    }

    void cleanup()
    {
        seams_.reset();
        resetSession();
    }

    void showsAdviceInTheme()
    {
        session().ThemeBackColor = 0x000000;
        session().ThemeForeColor = 0x0080FF;
        FrmHelp help;

        QCOMPARE(help.windowTitle(), QStringLiteral("Help"));
        QCOMPARE(help.Label1->text(), QStringLiteral("Do you know..."));
        QCOMPARE(
            help.lblHelpText->text(),
            QStringLiteral("Press Function Key \"F2\" after selecting the name from the Message "
                           "Area, for sending a reply.\r\nReply can be sent to logged in users "
                           "only."));
        QCOMPARE(help.lblHelpText->textFormat(), Qt::PlainText);
        QCOMPARE(help.cmdOK->text(), QStringLiteral("OK"));
        QVERIFY(!help.Picture1->pixmap().isNull());
        QCOMPARE(help.palette().color(QPalette::Window), colorFromBgr(0x000000));
        QCOMPARE(help.lblHelpText->palette().color(QPalette::WindowText), colorFromBgr(0x0080FF));
        QCOMPARE(help.cmdOK->palette().color(QPalette::Button), colorFromBgr(0x0080FF));
    }

    void okCloses()
    {
        FrmHelp help;
        QSignalSpy finished(&help, &QDialog::finished);
        help.open();
        QVERIFY(QTest::qWaitForWindowExposed(&help));
        QVERIFY(help.isModal());
        QTest::mouseClick(help.cmdOK, Qt::LeftButton);
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!help.isVisible());
    }
};

QTEST_MAIN(TestFrmHelp)
#include "tst_frmhelp.moc"
