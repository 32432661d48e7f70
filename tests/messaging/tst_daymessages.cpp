#include "FakeLink.h"
#include "TestSeams.h"
#include "app/SessionState.h"
#include "messaging/DayMessages.h"

#include <QTextEdit>
#include <QtTest>
#include <memory>

using namespace wispline;

const QString kNote = QStringLiteral("Press Esc Key to go back to Main Window.\n\n");

class TestDayMessages : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        seams_ = std::make_unique<test::Seams>();
        resetSession();
        window_ = std::make_unique<QWidget>();
        fra_ = new QWidget(window_.get());
        view_ = new QTextEdit(fra_);
        fra_->hide();
        window_->show();
        link_.connected = true;
        link_.sent.clear();
        day_ = std::make_unique<DayMessages>(view_, fra_, &link_);
    }

    void cleanup()
    {
        day_.reset();
        window_.reset();
        seams_.reset();
        resetSession();
    }

    void downloadViewAndRequest_data()
    {
        QTest::addColumn<QList<QStringList>>("downloads");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing downloaded yet") << QList<QStringList>{} << QString();
        QTest::newRow("start and end only") << QList<QStringList>{{}} << QString();
        QTest::newRow("messages in order, markup as text")
            << QList<QStringList>{{QStringLiteral("<b>one</b>"), QStringLiteral("two")}}
            << (QStringLiteral("<b>one</b>\n\ntwo\n\n") + kNote);
        QTest::newRow("next download replaces the last")
            << QList<QStringList>{{QStringLiteral("old")}, {QStringLiteral("new")}}
            << (QStringLiteral("new\n\n") + kNote);
    }

    void downloadViewAndRequest()
    {
        QFETCH(QList<QStringList>, downloads);
        QFETCH(QString, expected);
        for (const QStringList& messages : downloads) {
            day_->onStart();
            for (const QString& m : messages)
                day_->onMessage(m);
            day_->onEnd();
        }

        QCOMPARE(view_->toPlainText(), expected);
        QCOMPARE(shown(), !expected.isEmpty());
        if (expected.isEmpty()) {
            day_->mnuViewMessages_Click(); // nothing to view either
            QVERIFY(!shown());
            QVERIFY(!day_->escapePressed());
            QCOMPARE(seams_->boxes.lines(),
                     QStringList(downloads.size() + 1,
                                 test::box("Day Messages", BoxIcon::Information,
                                           QStringLiteral("No Messages To Display"))));
            return;
        }
        QVERIFY(!view_->isHidden());
        QCOMPARE(seams_->boxes.count(), 0);
        QTextCursor c(view_->document());
        c.setPosition(1);
        QCOMPARE(c.charFormat().foreground().color(), QColor(0, 0, 0));
        c.setPosition(int(expected.indexOf(kNote)) + 1);
        QCOMPARE(c.charFormat().foreground().color(), QColor(255, 0, 0));

        QVERIFY(day_->escapePressed());
        QVERIFY(!shown());
        QVERIFY(!day_->escapePressed()); // Esc with the view hidden does nothing
        QVERIFY(window_->isVisible());

        // A new request goes out at once; while disconnected none does. Either way the view waits
        // for replies and keeps what the last download brought.
        session().UserName = QStringLiteral("alice");
        session().UserLevel = QStringLiteral("2");
        session().Password = QStringLiteral(" pw ");
        session().VersionString = QStringLiteral("1.1.1");
        day_->mnuDownloadMessages_Click();
        QCOMPARE(link_.sent, QStringList{QStringLiteral("ALLMsgs~ALICE2~ pw ~1.1.1")});
        link_.connected = false;
        day_->mnuDownloadMessages_Click();
        QCOMPARE(link_.sent.size(), 1);
        QCOMPARE(seams_->boxes.lines(),
                 QStringList{test::box("All Messages", BoxIcon::Information,
                                       "Connection is Lost. Wait for sometime.\r\nThe request "
                                       "cannot be processed now.")});
        QVERIFY(!shown());

        day_->mnuViewMessages_Click(); // shown again, without asking the server
        QVERIFY(shown());
        QCOMPARE(view_->toPlainText(), expected);
        QCOMPARE(link_.sent.size(), 1);
        QCOMPARE(seams_->boxes.count(), 1);
    }

private:
    bool shown() const { return !fra_->isHidden(); }

    std::unique_ptr<test::Seams> seams_;
    std::unique_ptr<QWidget> window_;
    QWidget* fra_ = nullptr;
    QTextEdit* view_ = nullptr;
    test::FakeLink link_;
    std::unique_ptr<DayMessages> day_;
};

QTEST_MAIN(TestDayMessages)
#include "tst_daymessages.moc"
