#include "app/DesktopServices.h"

#include "app/Seams.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace wispline
{

namespace
{

class WidgetBoxes final : public MessageBoxes
{
public:
    BoxAnswer show(const BoxRequest& r) override
    {
        QMessageBox box;
        box.setTextFormat(Qt::PlainText); // server texts are never rich text
        box.setText(r.text);
        box.setWindowTitle(r.title.isEmpty() ? QGuiApplication::applicationDisplayName() : r.title);
        switch (r.icon) {
        case BoxIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case BoxIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case BoxIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case BoxIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case BoxIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        }
        if (r.buttons == BoxButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(r.defaultButton == BoxAnswer::Yes ? QMessageBox::Yes
                                                                   : QMessageBox::No);
            box.setEscapeButton(QMessageBox::No);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        const int answer = box.exec();
        if (r.buttons == BoxButtons::YesNo)
            return answer == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
        return BoxAnswer::Ok;
    }

    void showNotice(const BoxRequest& r, std::function<void()> answered) override
    {
        // Not modal and not waited for: the program goes on behind it, and the user answers
        // it whenever they come back.
        auto* box = new QMessageBox;
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->setTextFormat(Qt::PlainText);
        box->setText(r.text);
        box->setWindowTitle(r.title.isEmpty() ? QGuiApplication::applicationDisplayName()
                                              : r.title);
        box->setIcon(r.icon == BoxIcon::Critical      ? QMessageBox::Critical
                     : r.icon == BoxIcon::Information ? QMessageBox::Information
                     : r.icon == BoxIcon::Exclamation ? QMessageBox::Warning
                                                      : QMessageBox::NoIcon);
        box->setStandardButtons(QMessageBox::Ok);
        QObject::connect(box, &QMessageBox::finished, box, [answered = std::move(answered)] {
            if (answered)
                answered();
        });
        box->show();
    }
};

class PrimaryScreen final : public ScreenInfo
{
public:
    QRect geometry() const override
    {
        QScreen* s = QGuiApplication::primaryScreen();
        return s ? s->geometry() : QRect(0, 0, 1024, 768);
    }
    QRect availableGeometry() const override
    {
        QScreen* s = QGuiApplication::primaryScreen();
        return s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
    }
};

} // namespace

void installDesktopServices()
{
    static WidgetBoxes boxes;
    static PrimaryScreen screen;
    services::setProductionBoxes(&boxes);
    services::setProductionScreen(&screen);
}

} // namespace wispline
