#include "app/SessionState.h"
#include "app/Theme.h"

#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

using namespace wispline;

namespace
{

const QColor kOrange(255, 128, 0);

// Whether the inside of `w` as drawn (its edge left out) shows a pixel close to `colour`.
bool shows(QWidget* w, const QColor& colour)
{
    const QImage image = w->grab(w->rect().adjusted(4, 4, -4, -4)).toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) +
                    qAbs(c.blue() - colour.blue()) <
                60)
                return true;
        }
    }
    return false;
}

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    // What a person sees of a themed control: each kind drawn in a themed frame of a themed
    // window.
    void controlsAsSeen_data()
    {
        QTest::addColumn<bool>("button"); // else a text box
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("shown");
        QTest::newRow("button text is black") << true << true << QColor(Qt::black) << true;
        QTest::newRow("text box text is orange") << false << true << kOrange << true;
        QTest::newRow("disabled text box is greyed") << false << false << kOrange << false;
    }
    void controlsAsSeen()
    {
        QFETCH(bool, button);
        QFETCH(bool, enabled);
        QFETCH(QColor, colour);
        QFETCH(bool, shown);
        resetSession();
        session().ThemeBackColor = 0x000000;
        session().ThemeForeColor = 0x0080FF; // orange
        QWidget window;
        auto* frame = new FrameBox(&window);
        auto* layout = new QVBoxLayout(frame);
        QWidget* control = button ? static_cast<QWidget*>(new QPushButton(QStringLiteral("WWW")))
                                  : new QLineEdit(QStringLiteral("WWWWWWWW"));
        layout->addWidget(control);
        control->setMinimumSize(120, 30);
        control->setEnabled(enabled);
        applyThemeToWindow(&window);
        window.resize(200, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(shows(control, colour), shown);
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
